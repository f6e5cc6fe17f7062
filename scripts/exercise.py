#!/usr/bin/env python3
"""The exercises of exercises/: each patch takes out of the working tree
the bodies that one technique is about, leaving code that compiles and a
comment where the learner writes; `make test` then grades the answer.

Usage (from the top of the checkout):
  exercise.py                 lists the exercises
  exercise.py NAME            hands one out: applies its patch, prints the task
  exercise.py --answer NAME   shows the model answer as a diff from your code
  exercise.py --undo NAME     keeps your code aside, puts the checkout back
"""
import pathlib
import re
import shutil
import subprocess
import sys

TOP = pathlib.Path.cwd()
KEPT = TOP / "build" / "exercises"


def exercises():
    return sorted((TOP / "exercises").glob("*.patch"))


def short_name(patch):
    """deep-copy for exercises/1-deep-copy.patch."""
    return patch.stem.split("-", 1)[1]


def header(patch):
    """The task: the patch's opening lines, up to its first diff."""
    text = patch.read_text().split("\ndiff --git", 1)[0]
    return [line for line in text.splitlines() if line.strip()]


def field(patch, name):
    """One field of the task ("Technique"), its continuation lines joined."""
    lines, taking = [], False
    for line in header(patch):
        if line.startswith(f"{name}: "):
            lines, taking = [line[len(name) + 2:]], True
        elif taking and re.match(r"[A-Z][a-z]+( [a-z]+)*: ", line):
            break  # the next field
        elif taking:
            lines.append(line)
    return " ".join(lines).rstrip(".")


def files(patch):
    return [line[len("+++ b/"):].strip() for line in patch.read_text().splitlines()
            if line.startswith("+++ b/")]


def find(name):
    for patch in exercises():
        if name in (patch.stem, short_name(patch)):
            return patch
    sys.exit(f"exercise: no exercise named '{name}'; `make exercise` lists them")


def listing():
    for patch in exercises():
        print(f"{short_name(patch):22} {field(patch, 'Technique')}: "
              f"{field(patch, 'Exercise')}")
    print("\nStart one with: make exercise NAME=<name>")


def hand_out(patch):
    name, touched = short_name(patch), files(patch)
    changed = subprocess.run(["git", "status", "--porcelain", "--", *touched],
                             capture_output=True, text=True).stdout.strip()
    if changed:
        sys.exit("exercise: not started; these files have changes of your own "
                 "(commit them, or set them aside):\n" + changed)
    answer = KEPT / name / "answer"
    for path in touched:
        (answer / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(TOP / path, answer / path)
    applied = subprocess.run(["patch", "-p1", "--forward", "--batch", "--quiet",
                              "--no-backup-if-mismatch", "-i", str(patch)],
                             capture_output=True, text=True)
    if applied.returncode != 0:
        subprocess.run(["git", "checkout", "--", *touched])
        sys.exit("exercise: the patch did not apply; nothing changed\n"
                 + applied.stdout + applied.stderr)
    print("\n".join(header(patch)))
    print(f"""Check: make test (it says what is still wrong)
Model answer: make answer NAME={name} (a diff from your code; it changes nothing)
Back to the checkout as it was: make exercise-undo NAME={name}
  (your code is kept in build/exercises/{name}/yours/)""")


def show_answer(patch):
    name = short_name(patch)
    answer = KEPT / name / "answer"
    if not answer.exists():
        sys.exit(f"exercise: {name} is not handed out; make exercise NAME={name}")
    for path in files(patch):
        subprocess.run(["diff", "-u", "--label", f"yours/{path}",
                        "--label", f"answer/{path}", str(TOP / path),
                        str(answer / path)])


def undo(patch):
    name = short_name(patch)
    answer, yours = KEPT / name / "answer", KEPT / name / "yours"
    if not answer.exists():
        sys.exit(f"exercise: {name} is not handed out; nothing to undo")
    for path in files(patch):
        (yours / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(TOP / path, yours / path)
        shutil.copyfile(answer / path, TOP / path)
    shutil.rmtree(answer)
    print(f"exercise: {name} undone; your code is in {yours.relative_to(TOP)}/")


def main(args):
    if not args:
        return listing()
    if args[0] in ("--answer", "--undo"):
        if len(args) < 2:
            sys.exit(f"exercise: {args[0]} needs NAME=<name>")
        return (show_answer if args[0] == "--answer" else undo)(find(args[1]))
    return hand_out(find(args[0]))


if __name__ == "__main__":
    main(sys.argv[1:])
