"""make picture: draw.py drives it; observe.py runs inside GDB and writes raw
records; interpret.py (with captions.py) turns them into the trace the page
draws, with no GDB; schema.py is the contract between them; settings.py
reads make's settings."""
