"""`python -m vantoro_tools`: the `vantoro` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
