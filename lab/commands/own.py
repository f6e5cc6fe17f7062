"""A learner's own program: one C++ file anywhere, built as the lessons are
built (the same compiler, flags and warnings as the preset's), with the
checkout's top on the include path and the lesson libraries linked, so
that #include "accounts/heapledger.h" just works. Nothing is registered and
the file is never copied: what is built goes to build/own/.

make run FILE=path/to/mine.cpp [INPUT=file] runs it under the sanitizers
at the terminal (python3 -m lab.commands.own); make picture FILE=... draws it
(lab/picture/draw.py uses built() here).
"""
import contextlib
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

from lab import TOP, adopt_orphans, end_orphans, fail, locked, run
from lab.commands.testreport import digests

CPP = (".cpp", ".cc", ".cxx")
START = ("start one of your own in scratch/ (git ignores it) from "
         "docs/pet.cpp: mkdir -p scratch && cp docs/pet.cpp scratch/ && "
         "make run FILE=scratch/pet.cpp")


def source(given, what="run"):
    """The file FILE= names, checked: refused in one line otherwise."""
    if not given:
        fail(f"it needs FILE=path/to/mine.cpp; {START}")
    path = Path(given).expanduser()
    if not path.exists():
        fail(f"no file {given}")
    if path.is_dir():
        fail(f"{given} is a folder: FILE= names one C++ file to {what}")
    if path.suffix not in CPP:
        fail(f"{given} is not a C++ source file (.cpp, .cc or .cxx)")
    if path.resolve().suffix not in CPP:  # a link's name says nothing of what it holds
        fail(f"{given} is a link to {path.resolve()}, which is not C++ source")
    return path.resolve()


def shown(path):
    """The file as its messages name it: from the checkout's top when it is
    inside, else whole."""
    return str(path.relative_to(TOP)) if path.is_relative_to(TOP) else str(path)


def built(path, preset, verb):
    """The program made of the file, in a build of its own that links the
    preset's lessons target (lab/own/): (binary, what the compiler said).
    A file that does not compile or link ends the command with the tools'
    own lines and one saying why nothing was done."""
    parent = TOP / "build" / preset
    safe = re.sub(r"[^\w.+-]", "_", path.stem)  # a folder of its own for each file
    folder = TOP / "build" / "own" / preset / (
        f"{safe}-{hashlib.sha256(str(path).encode()).hexdigest()[:8]}")
    settings = parent / "lessons" / "initial-cache.cmake"
    with locked(preset):
        done = run("cmake", "--build", "--preset", preset, "--target", "lessons_built")
        if done.returncode:
            fail(f"the lessons do not build, so nothing was {verb}:\n{done.stdout[-2000:]}")
        cache = folder / "CMakeCache.txt"
        if not cache.is_file() or settings.stat().st_mtime > cache.stat().st_mtime:
            shutil.rmtree(folder, ignore_errors=True)  # made for another compiler
            done = run("cmake", "-S", TOP / "lab" / "own", "-B", folder, "-G", "Ninja",
                       f"-DCMAKE_CXX_COMPILER_LAUNCHER=sh;{TOP / 'lab/picture/keepwarnings.sh'}",
                       "-C", settings, f"-DOWN_FILE={path}", f"-DOWN_NAME={path.stem}")
            if done.returncode:
                fail(f"the build of {shown(path)} could not be set up:\n{done.stderr[-2000:]}")
        linked = run("cmake", "--build", folder)
    said = "".join(kept.read_text() for kept in folder.rglob("*.o.warnings"))
    if linked.returncode and not any(folder.rglob("*.o")):
        sys.stderr.write(said)
        fail(f"{shown(path)} does not compile: nothing was {verb} (the compiler's lines "
             "are above)")
    if linked.returncode:
        symbols = run("nm", "-P", "--defined-only", *folder.rglob("*.o")).stdout
        if not re.search(r"^main T ", symbols, re.M):
            fail(f"{shown(path)} has no main(): a program starts there, so nothing was {verb}")
        sys.stderr.write("".join(line for line in linked.stdout.splitlines(keepends=True)
                                 if not line.startswith(("FAILED:", "ninja:", "[", ": &&"))))
        fail(f"{shown(path)} does not link: nothing was {verb} (the linker's lines are "
             "above; a window class needs Qt, which a file of your own does not get)")
    return folder / path.stem, said


def sanitizers(reports):
    """The sanitizers' settings of the test presets, as make test runs them,
    with their reports written to files named reports.PID instead of the
    program's standard error, which stays the program's own."""
    presets = json.loads((TOP / "CMakePresets.json").read_text())
    found = next(p for p in presets["testPresets"] if p["name"] == "asan-base")
    return {name: value.replace("${sourceDir}", str(TOP)) + f":log_path='{reports}'"
            for name, value in found["environment"].items()}


def main():
    given = os.environ.get("FILE", "")
    path = source(given)
    typed = os.environ.get("INPUT", "")
    if typed and not Path(typed).is_file():
        fail(f"no input file {typed}")
    binary, warnings = built(path, "asan", "run")
    sys.stderr.write(warnings)
    with tempfile.TemporaryDirectory(prefix="make-run-") as folder:
        reports = Path(folder) / "report"
        adopt_orphans()
        try:  # its input: the file INPUT names, or else the terminal, where the learner types
            with open(typed, "rb") if typed else contextlib.nullcontext() as stdin:
                status = subprocess.run([binary], stdin=stdin,
                                        env={**os.environ, **sanitizers(reports)}).returncode
        finally:
            end_orphans()
        said = [line for report in sorted(Path(folder).glob("report.*"))
                for line in report.read_text(errors="replace").splitlines()]
    reports = digests(said, own=shown(path))
    if not reports:
        ended = f"signal {signal.Signals(-status).name}" if status < 0 else f"status {status}"
        print(f"make run: {shown(path)} ended with exit {ended}")
        return 0 if status == 0 else 1
    print(f"\n{shown(path)} was stopped by the sanitizer:")
    print("\n".join(line for report in reports for line in report))
    where = f"FILE={shlex.quote(given)}" + (f" INPUT={shlex.quote(typed)}" if typed else "")
    print(f"  to draw it: make picture {where}")
    return 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        fail("interrupted")
