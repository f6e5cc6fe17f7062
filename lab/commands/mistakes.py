"""make mistakes, make tables: makes each mistake of mistakes/ in a git
worktree of the committed lessons (build/mistakes/tree, never the
checkout), rebuilds it there, runs the learner's tests (testreport's quick
tier, never reusing an outcome) and shows which tests catch it and what
they say. Then it hands out each exercise there: each must build cleanly
and fail the tests. README.md's two tables must be what this finds.

Usage: python3 -m lab.commands.mistakes [--tables | --refresh PATCH]
  --tables         the gallery, then writes the tables
  --refresh PATCH  makes PATCH again where the lines around its change have
                   moved in the lessons
"""
import argparse
import re
import sys
from pathlib import Path

from lab import TOP, fail, git, programs, run
from lab.commands import exercise, testreport

TREE = TOP / "build" / "mistakes" / "tree"


def fresh_tree():
    """The worktree at the checkout's HEAD; its build folder stays, so each
    rebuild is incremental."""
    git("worktree", "prune")
    head = git("rev-parse", "HEAD").stdout.strip()
    if not (TREE / ".git").exists():
        TREE.parent.mkdir(parents=True, exist_ok=True)
        git("worktree", "add", "--detach", "--force", TREE, head)
    git("checkout", "--detach", "--force", head, cwd=TREE)
    git("clean", "-fdq", cwd=TREE)


def tried(patch=None):
    """Makes the patch's change in the worktree (none: the lessons as they
    are), rebuilds, runs the learner's tests and puts the worktree back.
    Returns (trouble, failures, build log): trouble says why no test could
    judge the change, or is None."""
    fits = git("apply", "--check", patch, cwd=TREE) if patch else None
    if fits and fits.returncode:
        return ("NOT APPLIED to the committed lessons: "
                + fits.stderr.strip().splitlines()[0]), [], ""
    if patch:
        git("apply", patch, cwd=TREE)
    try:
        built = run("cmake", "--build", "--preset", "asan", cwd=TREE)
        log = built.stdout + built.stderr
        if built.returncode:
            errors = [line for line in log.splitlines() if "error" in line]
            return "does not build: " + " / ".join(errors[:2]), [], log
        return (*judged(TREE), log)
    finally:
        git("checkout", "--", ".", cwd=TREE)


def judged(top):
    """Runs the learner's tests: (trouble, failures as (rank, name, lines, first))."""
    result = testreport.run("quick", 120, top)
    if result.interrupted:  # Ctrl-C stops the gallery, not only this run
        raise KeyboardInterrupt
    if result.cut:
        return f"the time was up before {', '.join(result.cut[:3])} ran", []
    if not result.passed and not result.failed:
        return f"no test ran (ctest exit status {result.status})", []
    return None, result.failed


def flagged(patch, log):
    """Which tools flag the change: the compiler's warnings in the rebuild,
    clang-tidy on the sources it changes (a header: those of its folder)."""
    tools = ["compiler"] if "warning:" in log else []
    sources = [re.escape(name) + "$" if name.endswith(".cpp") else
               re.escape(name.rsplit("/", 1)[0]) + r"/[^/]*\.cpp$"
               for name in exercise.files(patch)]
    git("apply", patch, cwd=TREE)
    linted = run("run-clang-tidy", "-p", "build/asan", "-quiet", *sources, cwd=TREE)
    git("checkout", "--", ".", cwd=TREE)
    return " and ".join(tools + ["lint"] * bool(linted.returncode)) or "none"


def tables(rows):
    """README.md with its two tables made from the list of programs and from
    what the gallery found."""
    made = {"programs": ["| Program | Technique | Reads |", "|---|---|---|"]
            + [f"| `{p['name']}` | {p['technique']} | {p['reads']} |" for p in programs()],
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
                "-i", patch.resolve(), cwd=TREE)
    if moved.returncode:
        fail(f"{patch} does not apply even with its lines moved:\n{moved.stdout}")
    head = patch.read_text().split("\ndiff --git", 1)[0]
    patch.write_text(f"{head}\n{git('diff', cwd=TREE).stdout}")
    git("checkout", "--", ".", cwd=TREE)
    print(f"mistakes: {patch} made again from the committed lessons")
    return 0


def gallery(patches):
    """Each mistake tried: (how many were caught, the table's rows)."""
    caught, rows = 0, []
    for patch in patches:
        print(f"\n=== {patch.stem}\n    " + "\n    ".join(exercise.header(patch)))
        trouble, failed, log = tried(patch)
        if trouble or not failed:
            print(f"    {trouble or 'NOT CAUGHT: every test passed'}")
            continue
        caught += 1
        tools, names = flagged(patch, log), [name for _, name, *_ in failed]
        rows.append(f"| {exercise.field(patch, 'Mistake')} | "
                    f"{exercise.field(patch, 'Technique')} | "
                    + ", ".join(f"`{name}`" for name in names[:2]) + f" | {tools} |")
        print(f"    caught by: {', '.join(names[:6])}"
              + (f" and {len(names) - 6} more" if len(names) > 6 else "")
              + f"\n      {failed[0][3]}\n    flagged by tools: {tools}")
    return caught, rows


def graded(exercises):
    """How many exercises fail the tests as handed out, and build cleanly."""
    count = 0
    for patch in exercises:
        print(f"\n=== exercise {patch.stem}\n"
              f"    Exercise: {exercise.field(patch, 'Exercise')}")
        trouble, failed, log = tried(patch)
        trouble = trouble or ("NOT CLEAN: it builds with warnings"
                              if "warning:" in log else None)
        if trouble or not failed:
            print(f"    {trouble or 'NOT GRADED: every test passes as handed out'}")
            continue
        count += 1
        print(f"    make test fails: {len(failed)} tests, first {failed[0][1]}"
              f"\n      {failed[0][3]}")
    return count


def main(args):
    parser = argparse.ArgumentParser(prog="make mistakes", description=__doc__.split("\n\n")[0])
    chosen = parser.add_mutually_exclusive_group()
    chosen.add_argument("--tables", action="store_true", help="then write README.md's tables")
    chosen.add_argument("--refresh", metavar="PATCH", type=Path,
                        help="make PATCH again from the committed lessons")
    args = parser.parse_args(args)
    if args.refresh:
        return refresh(args.refresh)
    if git("status", "--porcelain", "--", ".", ":!build").stdout:
        print("mistakes: on the committed lessons; your uncommitted changes "
              "are not in play")
    fresh_tree()
    configured = run("cmake", "--preset", "asan", "-DCMAKE_COMPILE_WARNING_AS_ERROR:BOOL=OFF",
                     cwd=TREE)
    if configured.returncode:  # said now, not later as a lesson that does not build
        fail("the committed lessons do not configure:\n"
             + (configured.stdout + configured.stderr)[-2000:])
    trouble, failed, _ = tried()
    if trouble or failed:
        fail("the committed lessons do not pass their tests: "
             + (trouble or ", ".join(name for _, name, *_ in failed)))
    patches = sorted((TOP / "mistakes").glob("*.patch"))
    exercises = sorted((TOP / "exercises").glob("*.patch"))
    caught, rows = gallery(patches)
    count = graded(exercises)
    print(f"\n{len(patches)} mistakes, {caught} caught\n"
          f"{len(exercises)} exercises, {count} fail as handed out")
    if caught < len(patches) or count < len(exercises):
        return 1
    problem = readme(rows, write=args.tables)
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
        fail("interrupted; your checkout and README.md are as they were")
