"""`python -m tarnwick_cli` runs the `tarnwick` command."""

from tarnwick_cli import main

if __name__ == "__main__":
    raise SystemExit(main())
