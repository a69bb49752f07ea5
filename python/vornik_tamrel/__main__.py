"""`python -m vornik_tamrel ...` runs the command line."""
import sys

from .cli import main

sys.exit(main())
