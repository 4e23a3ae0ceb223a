"""The package's version, looked up when first asked for: the lookup loads
importlib.metadata, which costs a command that does not report it some
hundredths of a second at start-up."""
import functools


@functools.cache
def version():
    from importlib import metadata
    try:
        return metadata.version("denoisers")
    except metadata.PackageNotFoundError:  # run from the source tree
        return "0+unknown"
