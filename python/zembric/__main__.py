"""``python -m zembric``: the ``zembric`` command."""

import sys

from zembric.cli import main

if __name__ == "__main__":
    sys.exit(main())
