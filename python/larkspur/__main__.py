"""`python -m larkspur`: the same command line as the `larkspur` script."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
