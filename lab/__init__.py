"""The lab around the lessons: everything that serves them, nothing they need.

  commands/   the Makefile's commands other than the build, each a module run
              as `python3 -m lab.commands.NAME` from the top of the checkout:
              testreport (make test), mistakes, exercise, tour, own (make run)
  picture/    make picture (python3 -m lab.picture.draw)
  testmain/   the main of every test binary; cases/ the program cases' runner
  tests/      the lab's own checks

programs.json is the one list of the programs: programs() reads it here,
tests/CMakeLists.txt for the build. This module holds the helpers all of
them share.
"""
import contextlib
import fcntl
import json
import os
import subprocess
import sys
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent  # the checkout


def run(*command, cwd=TOP, **options):
    """Runs a tool, its output captured as text."""
    return subprocess.run([str(part) for part in command], cwd=cwd,
                          capture_output=True, text=True, **options)


def git(*args, cwd=TOP):
    return run("git", *args, cwd=cwd)


@contextlib.contextmanager
def locked(preset):
    """Holds the preset's build for this command alone while it builds: two
    commands at once would write the same archives."""
    (TOP / "build").mkdir(exist_ok=True)
    with open(TOP / "build" / f"{preset}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def adopt_orphans():
    """Makes this process the one a program's orphans are handed to, so
    that end_orphans() finds every process the program started."""
    import ctypes
    ctypes.CDLL(None).prctl(36, 1)  # PR_SET_CHILD_SUBREAPER


def end_orphans():
    """Ends every process left of what this command started: a program's
    child outlives it only to run unseen, holding what it holds."""
    while True:
        left = [int(stat.parent.name) for stat in Path("/proc").glob("[0-9]*/stat")
                if parent_of(stat) == os.getpid()]
        if not left:
            return
        for pid in left:
            try:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                continue  # gone already, or reaped by its own Popen


def parent_of(stat):
    """The parent's process id in a /proc/PID/stat file, or None."""
    try:
        return int(stat.read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):  # the process ended meanwhile
        return None


def fail(message):
    """Ends the command with one line naming what the learner typed."""
    sys.exit(f"{os.environ.get('LAB_COMMAND', Path(sys.argv[0]).stem)}: {message}")


def programs(top=TOP):
    """The programs, in the tour's order: name, technique, reads, input (the
    sample input, or null), closing (the input sweep's closing-line check,
    or null), window (true for the window program)."""
    return json.loads((top / "lab" / "programs.json").read_text())
