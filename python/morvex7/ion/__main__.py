"""``python3 -m morvex7.ion``: the same as the morvex7-ion command."""
import sys

from .cli import main

sys.exit(main())
