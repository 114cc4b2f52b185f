# Runs the Python tests for ctest (python.module; python.install with the argument "install"): exit status 77 (reported as skipped) with one line when
# Debian's python3-numpy or python3-pytest is missing.
import sys
from pathlib import Path

try:
    import numpy  # noqa: F401
    import pytest
except ImportError as missing:
    # "... is not installed" is what scripts/test looks for to name the skipped group.
    print(f"skipped: python3-{missing.name} is not installed (the Python tests need "
          "python3-numpy and python3-pytest)")
    sys.exit(77)

# The module's tests, or with "install" the fresh-environment install alone (its own ctest).
here = Path(__file__).parent
folder = [str(here / "install")] if sys.argv[1:] == ["install"] else [str(here), "--ignore",
                                                                       str(here / "install")]
sys.exit(pytest.main([*folder, "-q", "-p", "no:cacheprovider"]))
