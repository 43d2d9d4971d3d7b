"""`python3 -m morvex7` is the spectra command line."""
from morvex7.cli_spectra import main

raise SystemExit(main())
