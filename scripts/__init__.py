"""The lab around the lessons: the Makefile's commands other than the build,
each a module run as `python3 -m scripts.NAME` from the top of the checkout.

  testreport  make test, make test-all: runs a CTest preset, reads how each
              test ended from data (CTest's JUnit report and the outcome
              records of tests/support/testmain.cpp and
              tests/programs/runcase.sh) and prints it for a person
  mistakes    make mistakes, make tables: each mistake of mistakes/ and each
              exercise judged by testreport in a worktree
  exercise    make exercise, answer, exercise-undo
  tour        make tour: every program on its sample input, typed
  picture.draw (in picture/) make picture: draws a run that picture/observe.py
              watches in GDB and picture/interpret.py reads

programs.json is the one list of the programs: programs() reads it here,
tests/CMakeLists.txt for the build.
"""
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


def fail(message):
    """Ends the command with one line naming what the learner typed."""
    sys.exit(f"{os.environ.get('LAB_COMMAND', Path(sys.argv[0]).stem)}: {message}")


def programs(top=TOP):
    """The programs, in the tour's order: name, technique, reads, input (the
    sample input, or null), closing (the input sweep's closing-line check,
    or null), window (true for the window program)."""
    return json.loads((top / "scripts" / "programs.json").read_text())
