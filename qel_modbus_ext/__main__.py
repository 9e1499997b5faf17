"""``python -m qel_modbus_ext``: the poll command (also installed as ``qel-modbus``)."""
import sys

from ._poll import main

if __name__ == "__main__":
    sys.exit(main())
