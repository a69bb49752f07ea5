"""`python -m vornik_tamrel ...` runs the command line."""
from .cli import run

run()
