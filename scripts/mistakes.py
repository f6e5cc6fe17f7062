#!/usr/bin/env python3
"""The gallery of classic mistakes: applies each patch of mistakes/ to a
scratch copy of the tree (never to the checkout), rebuilds it
incrementally in a build folder of its own (the sanitizer build), runs the
learner's tests (`make test`) and shows which of them catch the mistake and
what they say.

Usage: mistakes.py   (from the top of the checkout)
Exits non-zero when a patch does not apply or a mistake is not caught.
"""
import pathlib
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

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
    failed = []
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        if case.get("status") == "fail":
            failed.append((case.get("name"), case.findtext("system-out") or ""))
    return failed


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


def lesson(patch):
    """The patch's opening lines, up to its first diff."""
    header = patch.read_text().split("\ndiff --git", 1)[0]
    return [line for line in header.splitlines() if line.strip()]


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

    caught = 0
    for patch in patches:
        print(f"\n=== {patch.stem}")
        for line in lesson(patch):
            print(f"    {line}")
        applied = run("patch", "-p1", "--forward", "--batch",
                      "--no-backup-if-mismatch", "-i", str(patch))
        if applied.returncode != 0:
            print("    NOT APPLIED:", applied.stdout.strip(), applied.stderr.strip())
            mirror_tree()  # undo what part of it did apply
            continue
        try:
            built, log = build()
            if not built:
                errors = [l for l in log.splitlines() if "error" in l][:2]
                print("    does not build:", *errors, sep="\n      ")
                continue
            failed = failures()
        finally:
            mirror_tree()  # the checkout's text again, the mistake gone
        if not failed:
            print("    NOT CAUGHT: every test passed")
            continue
        caught += 1
        names = [name for name, _ in failed]
        shown = ", ".join(names[:6]) + (f" and {len(names) - 6} more"
                                        if len(names) > 6 else "")
        print(f"    caught by: {shown}")
        for line in telling_lines(failed):
            print(f"      {short(line)}")
    build()  # leave the scratch build as the checkout is
    print(f"\n{len(patches)} mistakes, {caught} caught")
    return 0 if patches and caught == len(patches) else 1


if __name__ == "__main__":
    sys.exit(main())
