"""How long make test takes to answer an edit of each lesson file, quiet and
with a busy loop on each core (two per core), and whether each mistake of
the gallery is answered with the same FAILED lines as make test FRESH=1.
Prints markdown tables. It edits the working tree and puts every file
back; run it on a checkout with nothing uncommitted in the lessons.

Usage: python3 -m lab.bench.slips [--busy]
"""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from lab import TOP, git

LESSONS = ("accounts", "arrays", "text", "window", "demos")


def make_test(*settings):
    """(seconds, what it said) of one make test."""
    started = time.monotonic()
    done = subprocess.run(["make", "-s", "test", *settings], cwd=TOP, capture_output=True,
                          text=True)
    return time.monotonic() - started, done.stdout + done.stderr


def counts(said):
    """(tests run, tests reused) from make test's closing line."""
    found = re.search(r"quick: (\d+) passed(?: \((\d+) unchanged[^)]*\))?, (\d+) failed", said)
    if not found:
        return None, None
    passed, reused, failed = (int(n or 0) for n in found.groups())
    return passed + failed - reused, reused


def failed_lines(said):
    """The report's failures, whole: each FAILED test with what it said,
    and the line that names the rest."""
    lines = said.splitlines()
    first = next((n for n, line in enumerate(lines) if line.startswith("FAILED ")), len(lines))
    return [line for line in lines[first:] if not line.startswith(("quick:", "make"))]


def edits():
    """Each lesson file with a line put at its top: every line after it
    moves, so its objects, and what links them, are built again."""
    rows = []
    for path in sorted(p for folder in LESSONS for p in (TOP / folder).glob("*.[ch]*")
                       if p.suffix in (".cpp", ".h")):
        kept = path.read_text()
        path.write_text("// an edit\n" + kept)
        try:
            seconds, said = make_test()
        finally:
            path.write_text(kept)
        ran, _ = counts(said)
        rows.append((path.relative_to(TOP), ran, seconds))
        make_test()  # back as it was, built again, not timed
    return rows


def mistakes():
    """Each gallery mistake made, answered, then answered afresh."""
    rows = []
    for patch in sorted((TOP / "mistakes").glob("*.patch")):
        if git("apply", str(patch)).returncode:
            rows.append((patch.stem, None, None, "does not apply"))
            continue
        try:
            seconds, said = make_test()
            _, fresh = make_test("FRESH=1")
        finally:
            git("apply", "-R", str(patch))
        same = failed_lines(said) == failed_lines(fresh)
        rows.append((patch.stem, seconds, counts(said)[0], "same" if same else "DIFFER"))
        make_test()
    return rows


def main(busy):
    loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"])
             for _ in range(2 * (os.cpu_count() or 1))] if busy else []
    try:
        make_test()
        print(f"## {'busy' if busy else 'quiet'} machine, {os.cpu_count()} cores\n")
        print("| file edited | tests run | seconds |\n|---|---|---|")
        for path, ran, seconds in edits():
            print(f"| `{path}` | {ran} | {seconds:.1f} |")
        print("\n| mistake | seconds | tests run | report as FRESH=1 |\n|---|---|---|---|")
        for name, seconds, count, same in mistakes():
            print(f"| {name} | {seconds and f'{seconds:.1f}'} | {count} | {same} |")
    finally:
        for loop in loops:
            loop.kill()
    return 0


if __name__ == "__main__":
    sys.exit(main("--busy" in sys.argv[1:]))
