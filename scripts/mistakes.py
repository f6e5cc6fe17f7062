#!/usr/bin/env python3
"""The gallery of classic mistakes: applies each patch of mistakes/ to a
scratch copy of the tree (never to the checkout), rebuilds it
incrementally in a build folder of its own (the sanitizer build), runs the
learner's tests (`make test`) and shows which of them catch the mistake and
what they say.

Usage: mistakes.py   (from the top of the checkout)
Exits non-zero when a patch does not apply or a mistake is not caught.
"""
import os
import pathlib
import shutil
import subprocess
import sys

import exercise
import testreport

TOP = pathlib.Path.cwd()
SCRATCH = TOP / "build" / "mistakes"


def run(*command, **options):
    return subprocess.run(command, cwd=SCRATCH, text=True,
                          capture_output=True, **options)


def mirror_tree():
    """Makes the scratch copy match the checkout's tracked files, touching
    only what differs, so the build stays incremental."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=TOP, check=True,
                            capture_output=True).stdout.decode().split("\0")
    wanted = {name for name in listed if name and (TOP / name).is_file()}
    for name in wanted:
        source, target = TOP / name, SCRATCH / name
        if not target.exists() or target.read_bytes() != source.read_bytes():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target)  # a new mtime: ninja rebuilds
    for path in SCRATCH.rglob("*"):
        name = path.relative_to(SCRATCH).as_posix()
        if path.is_file() and not name.startswith("build/") and name not in wanted:
            path.unlink()


def build():
    done = run("cmake", "--build", "--preset", "asan")
    return done.returncode == 0, done.stdout + done.stderr


def failures():
    """Runs the learner's tests; returns [(name, output)] of those that
    failed."""
    report = SCRATCH / "build" / "asan" / "mistakes-junit.xml"
    run("ctest", "--preset", "quick", "--output-junit", str(report))
    return [(name, output) for name, status, output
            in testreport.junit_cases(report) if status not in ("run", "skipped")]


def made(patch, with_tools=False):
    """Makes the patch's change in the scratch copy, rebuilds it and runs the
    learner's tests, then puts the copy back as the checkout is. Returns
    (trouble, log, failed, tools): trouble says why no test ran, or None;
    tools, when asked for, which tools flag the change."""
    applied = run("patch", "-p1", "--forward", "--batch",
                  "--no-backup-if-mismatch", "-i", str(patch))
    try:
        if applied.returncode != 0:
            return ("NOT APPLIED: " + applied.stdout.strip() + " " +
                    applied.stderr.strip(), "", [], None)
        built, log = build()
        if not built:
            errors = [line for line in log.splitlines() if "error" in line][:2]
            return "does not build: " + " / ".join(errors), log, [], None
        failed = failures()
        return None, log, failed, seen_by_tools(patch, log) if with_tools else None
    finally:
        mirror_tree()


def telling_lines(failed):
    """What the tests said in words: the first failed test's sentence that
    names what broke, or else a sanitizer's verdict or first line."""
    for _, output in failed:
        said = testreport.lessons(output)
        if said:
            return said[:2]
    shown = testreport.digest(failed[0][1])
    verdict = [line for line in shown if "Sanitizer" in line]
    return (verdict or shown)[:1]


def short(line):
    return line if len(line) <= 150 else line[:147] + "..."


def sources_of(patch):
    """The C++ sources a patch changes, a changed header standing for the
    sources that include it."""
    changed = exercise.files(patch)
    sources = [name for name in changed if name.endswith(".cpp")]
    for header in (name for name in changed if name.endswith(".h")):
        for folder in ("accounts", "arrays", "text", "window", "demos"):
            for source in sorted((SCRATCH / folder).glob("*.cpp")):
                if f'#include "{header}"' in source.read_text():
                    sources.append(source.relative_to(SCRATCH).as_posix())
    return list(dict.fromkeys(sources))


def seen_by_tools(patch, build_log):
    """Which tools flag the mistake: the compiler's warnings in the rebuild,
    clang-tidy on what it changed."""
    tools = ["compiler"] if "warning:" in build_log else []
    sources = sources_of(patch)
    if sources and run("sh", "scripts/lint.sh", "build/asan", *sources).returncode:
        tools.append("lint")
    return " and ".join(tools) or "none"


TABLE_START = "<!-- mistakes table: filled in by make mistakes -->"
TABLE_END = "<!-- end of mistakes table -->"


def readme_table(rows):
    """The README's table of mistakes, from what this run found."""
    lines = [TABLE_START,
             "| Mistake | Technique | Caught by (among others) | Tools |",
             "|---|---|---|---|"]
    for mistake, technique, caught, tools in rows:
        names = ", ".join(f"`{name}`" for name in caught)
        lines.append(f"| {mistake} | {technique} | {names} | {tools} |")
    return "\n".join(lines + [TABLE_END])


def update_readme(rows):
    """Writes the table into README.md; in CI a table that differs fails."""
    readme = TOP / "README.md"
    text = readme.read_text()
    start, end = text.find(TABLE_START), text.find(TABLE_END)
    if start < 0 or end < 0:
        return "README.md has no mistakes table"
    table = readme_table(rows)
    if text[start:end + len(TABLE_END)] == table:
        return None
    if os.environ.get("CI"):
        return "README.md's mistakes table is out of date: run make mistakes"
    readme.write_text(text[:start] + table + text[end + len(TABLE_END):])
    print("README.md: the mistakes table is updated")
    return None


def grade_exercises():
    """Hands out each exercise in the scratch copy: it must build and fail
    the tests, saying what is missing. Returns how many did."""
    graded = 0
    for patch in sorted((TOP / "exercises").glob("*.patch")):
        print(f"\n=== exercise {patch.stem}")
        print(f"    Exercise: {exercise.field(patch, 'Exercise')}")
        trouble, log, failed, _ = made(patch)
        if not trouble and "warning:" in log:
            trouble = "NOT CLEAN: it builds with warnings"
        if trouble:
            print(f"    {trouble}")
            continue
        if not failed:
            print("    NOT GRADED: every test passes as handed out")
            continue
        graded += 1
        print(f"    make test fails: {len(failed)} tests, first "
              f"{failed[0][0]}")
        for line in telling_lines(failed):
            print(f"      {short(line)}")
    return graded


def main():
    patches = sorted((TOP / "mistakes").glob("*.patch"))
    SCRATCH.mkdir(parents=True, exist_ok=True)
    mirror_tree()
    configured = run("cmake", "--preset", "asan",
                     "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF")
    built, log = build()
    if configured.returncode != 0 or not built:
        print(configured.stdout + configured.stderr + log)
        sys.exit("mistakes: the scratch copy does not build as it is")
    already = failures()
    if already:
        sys.exit("mistakes: tests fail without any mistake: " +
                 ", ".join(name for name, _ in already))

    caught, rows = 0, []
    for patch in patches:
        print(f"\n=== {patch.stem}")
        for line in exercise.header(patch):
            print(f"    {line}")
        trouble, _, failed, tools = made(patch, with_tools=True)
        if trouble:
            print(f"    {trouble}")
            continue
        if not failed:
            print("    NOT CAUGHT: every test passed")
            continue
        caught += 1
        names = [name for name, _ in failed]
        telling = next((name for name, output in failed
                        if testreport.lessons(output)), names[0])
        rows.append((exercise.field(patch, "Mistake"),
                     exercise.field(patch, "Technique"),
                     list(dict.fromkeys([telling] + names))[:2], tools))
        shown = ", ".join(names[:6]) + (f" and {len(names) - 6} more"
                                        if len(names) > 6 else "")
        print(f"    caught by: {shown}")
        for line in telling_lines(failed):
            print(f"      {short(line)}")
        print(f"    flagged by tools: {tools}")
    graded = grade_exercises()
    build()  # leave the scratch build as the checkout is
    exercises = sorted((TOP / "exercises").glob("*.patch"))
    print(f"\n{len(patches)} mistakes, {caught} caught")
    print(f"{len(exercises)} exercises, {graded} fail as handed out")
    complete = (bool(patches) and caught == len(patches)
                and graded == len(exercises))
    problem = update_readme(rows) if complete else None
    if problem:
        print(f"mistakes: {problem}")
    return 0 if complete and not problem else 1


if __name__ == "__main__":
    sys.exit(main())
