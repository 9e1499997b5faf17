import os
import sys

# A developer build directory (cmake -B build/dev) may stand in for the
# installed module.
_build = os.environ.get("QEL_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
