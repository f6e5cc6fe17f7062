"""A learner's own program: one C++ file anywhere, built as the lessons are
built (the same compiler, flags and warnings as the preset's), with the
checkout's top on the include path and the lesson libraries linked, so
that #include "accounts/heapledger.h" just works. Nothing is registered and
the file is never copied: what is built goes to build/own/.

make run FILE=path/to/mine.cpp [INPUT=file] runs it under the sanitizers
at the terminal (python3 -m scripts.own); make picture FILE=... draws it
(picture/draw.py uses built() here).
"""
import contextlib
import hashlib
import json
import os
import re
import shlex
import signal
import subprocess
import sys
from pathlib import Path

from scripts import TOP, fail, run
from scripts.testreport import digests

# The lesson libraries, each before the ones it needs.
LIBRARIES = ("accounts/heapcredit", "accounts/heapledger", "accounts/fixedcredit",
             "accounts/bankaccount", "arrays/offsetrow", "arrays/scorelist", "text/textvalue")
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
    if path.suffix not in (".cpp", ".cc", ".cxx"):
        fail(f"{given} is not a C++ source file (.cpp, .cc or .cxx)")
    return path.resolve()


def shown(path):
    """The file as its messages name it: from the checkout's top when it is
    inside, else whole."""
    return str(path.relative_to(TOP)) if path.is_relative_to(TOP) else str(path)


def built(path, preset, verb):
    """The program made of the file, in the preset's build: (binary, what
    the compiler said). A file that does not compile ends the command with
    the compiler's own lines and one saying that nothing was done."""
    build = TOP / "build" / preset
    targets = [Path(library).name for library in LIBRARIES] + (
        ["recorder"] if preset == "picture" else [])
    done = run("cmake", "--build", "--preset", preset, "--target", *targets)
    if done.returncode:
        fail(f"the lessons do not build, so nothing was {verb}:\n{done.stdout[-2000:]}")
    commands = json.loads((build / "compile_commands.json").read_text())
    lesson = next(c for c in commands if c["file"].endswith("demos/ledgerdemo.cpp"))
    words = shlex.split(lesson["command"])
    flags = [w for i, w in enumerate(words[1:], 1) if w not in ("-c", "-o")
             and words[i - 1] not in ("-c", "-o")]
    folder = TOP / "build" / "own" / preset / (
        f"{path.stem}-{hashlib.sha256(str(path).encode()).hexdigest()[:8]}")
    folder.mkdir(parents=True, exist_ok=True)
    binary, objects = folder / path.stem, [folder / f"{path.stem}.o"]
    compiled = subprocess.run([words[0], *flags, "-o", objects[0], "-c", path], cwd=build,
                              capture_output=True, text=True)
    if compiled.returncode:
        sys.stderr.write(compiled.stderr)
        fail(f"{shown(path)} does not compile: nothing was {verb} (the compiler's lines "
             "are above)")
    if preset == "picture":
        objects.append(build / "picture/CMakeFiles/recorder.dir/recorder.cpp.o")
    linked = subprocess.run(
        [words[0], *[f for f in flags if f.startswith(("-fsanitize", "-g"))], *objects,
         *[build / f"{Path(library).parent}/lib{Path(library).name}.a" for library in LIBRARIES],
         "-o", binary], cwd=build, capture_output=True, text=True)
    if linked.returncode:
        sys.stderr.write(linked.stderr)
        fail(f"{shown(path)} does not link: nothing was {verb} (a window class needs Qt, "
             "which a file of your own does not get)")
    return binary, compiled.stderr


def sanitizers():
    """The sanitizers' settings of the test presets, as make test runs them."""
    presets = json.loads((TOP / "CMakePresets.json").read_text())
    found = next(p for p in presets["testPresets"] if p["name"] == "asan-base")
    return {name: value.replace("${sourceDir}", str(TOP))
            for name, value in found["environment"].items()}


def main():
    given = os.environ.get("FILE", "")
    path = source(given)
    typed = os.environ.get("INPUT", "")
    if typed and not Path(typed).is_file():
        fail(f"no input file {typed}")
    binary, warnings = built(path, "asan", "run")
    sys.stderr.write(warnings)
    said = []
    # Its input: the file INPUT names, or else the terminal, where the learner types.
    with open(typed, "rb") if typed else contextlib.nullcontext() as stdin:
        program = subprocess.Popen([binary], stdin=stdin, stderr=subprocess.PIPE, text=True,
                                   errors="replace", env={**os.environ, **sanitizers()})
        for line in program.stderr:  # its own lines as they come; a report kept whole
            if said or re.match(r"=+$|=+\d+=+|.*: runtime error: ", line):
                said.append(line.rstrip("\n"))
            else:
                sys.stderr.write(line)
        status = program.wait()
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
