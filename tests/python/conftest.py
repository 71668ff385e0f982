"""Lets the tests import the `zembric` package from the source tree when it is not installed
(CI installs it with the module; a developer's build tree has only the module)."""

import importlib.util
import sys
from pathlib import Path

if importlib.util.find_spec("zembric") is None:
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
