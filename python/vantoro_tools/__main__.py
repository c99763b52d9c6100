"""`python -m vantoro_tools`: the `vantoro` command."""

import sys

from .cli import program

if __name__ == "__main__":
    sys.exit(program())
