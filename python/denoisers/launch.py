"""The command's entry point (`denoisers`, `python3 -m denoisers`): it
starts reading the input ahead (read_ahead) before the command's modules,
and numpy and nibabel with them, are imported, then runs the command
(cli.main). Nothing heavy may be imported above main's first line."""
import sys

from . import read_ahead


def main(argv=None):
    read_ahead.start(sys.argv[1:] if argv is None else argv)
    from .cli import main as command
    return command(argv)
