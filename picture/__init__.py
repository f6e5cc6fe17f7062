"""make picture: draw.py drives it, trace.py runs inside GDB, schema.py says what passes between them and the page."""
