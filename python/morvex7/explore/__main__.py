import sys

from morvex7.explore.cli import main

sys.exit(main())
