"""python3 -m vmosaic: the vmosaic command line (same arguments, messages and exit status)."""
import sys

from . import main

sys.exit(main())
