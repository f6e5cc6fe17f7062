"""What make picture's steps cost against their floor, measured in one run:
a program or test drawn as make picture draws it, and the same run under
GDB with only the stops the observer makes, nothing read. Prints one line.

Usage: python3 -m lab.bench.picture_floor TEST=Suite.Name | NAME=program [STEPS=N]
"""
import os
import sys
import tempfile
import time
from pathlib import Path

from lab.picture import draw, settings


def main(args):
    for arg in args:  # as make picture takes them
        name, _, value = arg.partition("=")
        os.environ[name] = value
    chosen = settings.read()
    chosen, _ = draw.tested(chosen) if chosen.test else (
        chosen, draw.built(chosen.program, chosen.name))
    draw.OUT.mkdir(parents=True, exist_ok=True)
    seconds = {}
    for floor in (True, False):
        with tempfile.TemporaryDirectory() as folder:
            started = time.monotonic()
            trace = draw.traced(chosen, Path(folder), floor=floor)
            seconds[floor] = time.monotonic() - started
    print(f"{chosen.name}: {len(trace['steps'])} steps drawn in {seconds[False]:.1f} s; "
          f"the stops alone {seconds[True]:.1f} s; {seconds[False] / seconds[True]:.2f} times "
          "the floor")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
