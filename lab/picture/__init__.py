"""make picture: draw.py drives it; observe.py (with values.py and stops.py)
runs inside GDB and writes raw records; interpret.py (with findings.py,
lives.py, captions.py and questions.py) turns them into the trace the page
draws, with no GDB; schema.py is the contract between them; settings.py
reads make's settings."""
