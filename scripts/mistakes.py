#!/usr/bin/env python3
"""The gallery of classic mistakes: makes each mistake of mistakes/ in a git
worktree of the committed lessons (build/mistakes/tree, never the
checkout), rebuilds it there and runs the learner's tests (make test's),
and shows which tests catch it and what they say. Then it hands out each
exercise there: each must build cleanly and fail the tests. README.md's
two tables must be what this finds.

Usage (from the top of the checkout):
  mistakes.py                 the gallery; fails when a table is out of date
  mistakes.py --tables        the gallery, then writes the tables
  mistakes.py --refresh PATCH makes PATCH again where the lines around its
                              change have moved in the lessons
"""
import pathlib
import re
import subprocess
import sys

import exercise
import testreport

TOP = pathlib.Path.cwd()
TREE = TOP / "build" / "mistakes" / "tree"


def run(*command, cwd=TREE):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


def fresh_tree():
    """The worktree at the checkout's HEAD; its build folder stays, so each
    rebuild is incremental."""
    run("git", "worktree", "prune", cwd=TOP)
    head = run("git", "rev-parse", "HEAD", cwd=TOP).stdout.strip()
    if not (TREE / ".git").exists():
        TREE.parent.mkdir(parents=True, exist_ok=True)
        run("git", "worktree", "add", "--detach", "--force", str(TREE), head,
            cwd=TOP)
    run("git", "checkout", "--detach", "--force", head)
    run("git", "clean", "-fdq")


def tried(patch=None):
    """Makes the patch's change in the worktree (none: the lessons as they
    are), rebuilds, runs the learner's tests and puts the worktree back.
    Returns (trouble, failed tests, build log): trouble says why no test
    could judge the change, or is None."""
    fits = run("git", "apply", "--check", str(patch)) if patch else None
    if fits and fits.returncode:
        return ("NOT APPLIED to the committed lessons: "
                + fits.stderr.strip().splitlines()[0]), [], ""
    if patch:
        run("git", "apply", str(patch))
    try:
        built = run("cmake", "--build", "--preset", "asan")
        log = built.stdout + built.stderr
        if built.returncode:
            errors = [line for line in log.splitlines() if "error" in line]
            return "does not build: " + " / ".join(errors[:2]), [], log
        return (*judged(TREE), log)
    finally:
        run("git", "checkout", "--", ".")


def judged(top):
    """Runs the learner's tests: (trouble, failed tests)."""
    passed, failed, interrupted, status = testreport.run("quick", 60, top)
    if interrupted:  # Ctrl-C stops the gallery, not only this run of it
        raise KeyboardInterrupt
    if not passed and not failed:
        return f"no test ran (ctest exit status {status})", []
    return None, failed


def telling(failed):
    """What the first failed test said in words, or its sanitizer's verdict."""
    lines = failed[0][1]
    said = [line for line in lines if testreport.FAILURE.match(line)
            and not testreport.STOPPED.match(line)]
    return (said or [line for line in lines if "Sanitizer" in line]
            or lines)[0].strip()


def flagged(patch, log):
    """Which tools flag the change: the compiler's warnings in the rebuild,
    clang-tidy on the sources it changes (a header: those of its folder)."""
    tools = ["compiler"] if "warning:" in log else []
    sources = [re.escape(name) + "$" if name.endswith(".cpp") else
               re.escape(name.rsplit("/", 1)[0]) + r"/[^/]*\.cpp$"
               for name in exercise.files(patch)]
    run("git", "apply", str(patch))
    linted = run("run-clang-tidy", "-p", "build/asan", "-quiet", *sources)
    run("git", "checkout", "--", ".")
    return " and ".join(tools + ["lint"] * bool(linted.returncode)) or "none"


def tables(rows):
    """README.md with its two tables made from the list of programs and from
    what the gallery found."""
    programs = [line.split(" | ") for line in
                (TOP / "scripts" / "programs.txt").read_text().splitlines()
                if line and not line.startswith("#")]
    made = {"programs": ["| Program | Technique | Reads |", "|---|---|---|"]
            + [f"| `{name}` | {technique} | {reads} |"
               for name, technique, reads in programs],
            "mistakes": ["| Mistake | Technique | Caught by (among others) | "
                         "Tools |", "|---|---|---|---|"] + rows}
    text = (TOP / "README.md").read_text()
    for name, table in made.items():
        text = re.sub(rf"(<!-- {name} table[^\n]*-->\n).*?(\n<!-- end of "
                      rf"{name} table -->)",
                      lambda m: m.group(1) + "\n".join(table) + m.group(2),
                      text, flags=re.S)
    return text


def refresh(patch):
    fresh_tree()
    moved = run("patch", "-p1", "--forward", "--batch", "--no-backup-if-mismatch",
                "-i", str(patch.resolve()))
    if moved.returncode:
        sys.exit(f"mistakes: {patch} does not apply even with its lines "
                 f"moved:\n{moved.stdout}")
    head = patch.read_text().split("\ndiff --git", 1)[0]
    patch.write_text(f"{head}\n{run('git', 'diff').stdout}")
    run("git", "checkout", "--", ".")
    print(f"mistakes: {patch} made again from the committed lessons")


def main(args):
    if args[:1] == ["--refresh"] and len(args) == 2:
        return refresh(pathlib.Path(args[1]))
    if run("git", "status", "--porcelain", "--", ".", ":!build", cwd=TOP).stdout:
        print("mistakes: on the committed lessons; your uncommitted changes "
              "are not in play")
    fresh_tree()
    run("cmake", "--preset", "asan", "-DCMAKE_COMPILE_WARNING_AS_ERROR:BOOL=OFF")
    trouble, failed, _ = tried()
    if trouble or failed:
        sys.exit("mistakes: the committed lessons do not pass their tests: "
                 + (trouble or ", ".join(name for name, _ in failed)))

    caught, rows = 0, []
    patches = sorted((TOP / "mistakes").glob("*.patch"))
    for patch in patches:
        print(f"\n=== {patch.stem}\n    " + "\n    ".join(exercise.header(patch)))
        trouble, failed, log = tried(patch)
        if trouble or not failed:
            print(f"    {trouble or 'NOT CAUGHT: every test passed'}")
            continue
        caught += 1
        tools, names = flagged(patch, log), [name for name, _ in failed]
        rows.append(f"| {exercise.field(patch, 'Mistake')} | "
                    f"{exercise.field(patch, 'Technique')} | "
                    + ", ".join(f"`{name}`" for name in names[:2])
                    + f" | {tools} |")
        print(f"    caught by: {', '.join(names[:6])}"
              + (f" and {len(names) - 6} more" if len(names) > 6 else "")
              + f"\n      {telling(failed)}\n    flagged by tools: {tools}")

    graded, exercises = 0, sorted((TOP / "exercises").glob("*.patch"))
    for patch in exercises:
        print(f"\n=== exercise {patch.stem}\n"
              f"    Exercise: {exercise.field(patch, 'Exercise')}")
        trouble, failed, log = tried(patch)
        trouble = trouble or ("NOT CLEAN: it builds with warnings"
                              if "warning:" in log else None)
        if trouble or not failed:
            print(f"    {trouble or 'NOT GRADED: every test passes as handed out'}")
            continue
        graded += 1
        print(f"    make test fails: {len(failed)} tests, first {failed[0][0]}"
              f"\n      {telling(failed)}")

    print(f"\n{len(patches)} mistakes, {caught} caught\n"
          f"{len(exercises)} exercises, {graded} fail as handed out")
    if caught < len(patches) or graded < len(exercises):
        return 1
    problem = readme(rows, write=args == ["--tables"])
    print(problem or "", end="")
    return 1 if problem else 0


def readme(rows, write):
    """Writes README.md's tables when asked to; otherwise says, when they
    differ from what was found, and leaves the file alone."""
    made = tables(rows)
    if write:
        (TOP / "README.md").write_text(made)
    elif made != (TOP / "README.md").read_text():
        return ("mistakes: README.md's tables are not what the gallery found; "
                "make tables writes them\n")
    return None


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:  # the worktree is put back by tried()
        sys.exit("\nmistakes: interrupted; your checkout and README.md are as "
                 "they were")
