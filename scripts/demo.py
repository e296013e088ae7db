"""Entry point of scripts/demo; see scripts/nolith_demo/cli.py (or --help)."""

import sys

from nolith_demo.cli import main

if __name__ == "__main__":
    sys.exit(main())
