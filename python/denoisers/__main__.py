import sys

from .launch import main

# Guarded: worker processes started by `denoisers bids` import this module
# again and must not run the command.
if __name__ == "__main__":
    sys.exit(main())
