#!/usr/bin/env python3
"""The exercises of exercises/: each patch takes out of the working tree the
bodies that one technique is about, leaving code that compiles and a comment
where the learner writes; `make test` then grades the answer.

The state lives in the checkout, not in build/: handing out X records the
commit it was handed out from, the model answer, as the git ref
refs/exercises/X. Every command either does all it says or changes nothing,
and a second run is always safe. Undoing keeps the learner's code as a new
attempt, exercises/attempts/X/N/, beside the earlier ones.

Usage: python3 -m lab.commands.exercise [NAME | --answer NAME | --undo NAME]
  (none)         lists the exercises
  NAME           hands one out: applies its patch, prints the task
  --answer NAME  shows the model answer as a diff from your code
  --undo NAME    keeps your code aside, puts the model back
"""
import re
import shutil
import sys

from lab import TOP, fail, git

ATTEMPTS = TOP / "exercises" / "attempts"


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
    return re.findall(r"^\+\+\+ b/(\S+)", patch.read_text(), re.M)


def model(name):
    """The commit an exercise was handed out from, or None."""
    found = git("rev-parse", "--verify", "-q", f"refs/exercises/{name}")
    return found.stdout.strip() or None


def find(name):
    for patch in sorted((TOP / "exercises").glob("*.patch")):
        if name in (patch.stem, short_name(patch)):
            return patch
    return fail(f"no exercise named '{name}'; `make exercise` lists them")


def listing():
    for patch in sorted((TOP / "exercises").glob("*.patch")):
        out = "  (handed out)" if model(short_name(patch)) else ""
        print(f"{short_name(patch):22} {field(patch, 'Technique')}: "
              f"{field(patch, 'Exercise')}{out}")
    print("\nStart one with: make exercise NAME=<name>")


def hand_out(patch):
    name, touched = short_name(patch), files(patch)
    if model(name):
        fail(f"{name} is handed out already; make answer NAME={name} shows "
             f"the model, make exercise-undo NAME={name} puts it back")
    changed = git("status", "--porcelain", "--", *touched).stdout
    if changed:
        fail("not started, nothing changed: these files have changes of "
             "your own (commit them, or set them aside):\n" + changed.rstrip())
    fits = git("apply", "--check", str(patch))
    if fits.returncode:
        fail("not started, nothing changed: the exercise does not fit these "
             "files as they are committed, so they no longer hold the model (a "
             "commit of your own?):\n  " + "\n  ".join(touched) + "\n`git log "
             "-p -- FILE` shows what changed them; `git checkout COMMIT -- FILE` "
             "brings back a version from before.")
    if git("update-ref", f"refs/exercises/{name}", "HEAD").returncode or \
            git("apply", str(patch)).returncode:
        git("update-ref", "-d", f"refs/exercises/{name}")
        fail("git could not hand it out; nothing changed")
    print("\n".join(header(patch)))
    print(f"""Check: make test (it says what is still wrong)
Model answer: make answer NAME={name} (a diff from your code; it changes nothing)
Back to the model: make exercise-undo NAME={name} (your code is kept)""")


def show_answer(patch):
    name = short_name(patch)
    commit = model(name) or fail(
        f"{name} is not handed out; make exercise NAME={name}")
    print(git("diff", "-R", "--src-prefix=answer/", "--dst-prefix=yours/",
              commit, "--", *files(patch)).stdout, end="")


def undo(patch):
    name, touched = short_name(patch), files(patch)
    commit = model(name) or fail(f"{name} is not handed out; nothing to undo")
    number = 1 + max([int(p.name) for p in (ATTEMPTS / name).glob("[0-9]*")
                      if p.name.isdigit()] + [0])  # a folder of the learner's own aside
    kept = ATTEMPTS / name / str(number)
    missing = [path for path in touched if not (TOP / path).is_file()]
    for path in set(touched) - set(missing):  # the copies first, all of them
        (kept / path).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(TOP / path, kept / path)
    restored = git("restore", f"--source={commit}", "--worktree", "--", *touched)
    if restored.returncode:
        fail(f"could not put the model back ({restored.stderr.strip()}); "
             f"your code is kept in {kept.relative_to(TOP)}/")
    git("update-ref", "-d", f"refs/exercises/{name}")
    print(f"{name} undone; your code is kept in {kept.relative_to(TOP)}/"
          + "".join(f"\n  ({path} was missing; the model's is back)"
                    for path in missing))


def main(args):
    if not args:
        return listing()
    if args[0] in ("--answer", "--undo"):
        if len(args) < 2:
            fail(f"{args[0]} needs NAME=<name>")
        return (show_answer if args[0] == "--answer" else undo)(find(args[1]))
    return hand_out(find(args[0]))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
