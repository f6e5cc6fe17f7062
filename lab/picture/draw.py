"""make picture: draws one run of a console program, or the body of one unit
test, from the working tree as it is. It builds it in the picture build
(clang++, as the tests), has GDB observe it (observe.py) into raw records,
interprets them into a trace (interpret.py), and
writes build/pictures/NAME.html: page.html with the trace inside, one page
that opens from disk and draws each step itself, and NAME.json, the trace.

Usage: python3 -m lab.picture.draw, with make's variables in the environment
(settings.py's table says each).
"""
import json
import os
import platform
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import replace
from pathlib import Path

from lab.picture import settings
from lab.picture.interpreter import interpret
from lab import TOP, adopt_orphans, end_orphans, fail, locked, run
from lab.commands import own

HERE = Path(__file__).resolve().parent
OUT = TOP / "build" / "pictures"
BUILD = TOP / "build" / "picture"


def tested(chosen):
    """The settings with the test binary that holds the test named exactly,
    built."""
    suite, case = chosen.suite.split("/")[0], chosen.case
    for source in sorted(TOP.glob("tests/*_test.cpp")):
        if re.search(rf"^(TYPED_)?TEST(_F|_P)?\({suite}, {case}\)", source.read_text(), re.M):
            warnings = built(source.stem, chosen.name)
            listed = run(BUILD / "tests" / source.stem, "--gtest_list_tests",
                         f"--gtest_filter={chosen.test}").stdout
            if f"\n  {case}" in listed and listed.startswith(chosen.suite + "."):
                return replace(chosen, program=source.stem), warnings
            names = re.findall(rf"^({suite}\S*)\.", run(
                BUILD / "tests" / source.stem, "--gtest_list_tests").stdout, re.M)
            fail(f"no test named {chosen.test}; {suite}'s {case} runs as "
                 + " and ".join(f"{n}.{case}" for n in sorted(set(names))))
    fail(f"no test named {chosen.test} in tests/ (Suite.Name, as make test names it)")


def quote(path):
    return "'" + str(path).replace("'", "'\\''") + "'"


def built(binary, name):
    """Builds the binary in the picture build, one build at a time; prints
    what the compiler warns of in the files it is made of."""
    with locked("picture"):
        done = run("cmake", "--build", "--preset", "picture", "--target", binary)
        objects = run("ninja", "-C", BUILD, "-t", "inputs", binary).stdout.split()
    warnings = "".join(dict.fromkeys(  # a header's warning once, not once per object
        said for o in objects if (BUILD / f"{o}.warnings").is_file()
        for said in diagnostics((BUILD / f"{o}.warnings").read_text())))
    if done.returncode:
        return stale(name, f"{binary} does not build:\n{done.stdout + done.stderr}")
    if warnings:
        print(f"picture: the compiler warns:\n{warnings}", end="")
    return warnings


def diagnostics(text):
    """The compiler's diagnostics, each with the lines that belong to it
    (the includes that led to it, its source line and caret), without the
    count of warnings each object ends with."""
    found = []
    for line in text.splitlines(keepends=True):
        if re.match(r"\d+ warnings? generated\.$", line):
            continue
        opens = re.match(r"In file included from |\S+:\d+:\d+: warning", line)
        led = found and re.match(r"In file included from |\s+from ", found[-1].splitlines()[-1])
        if opens and not led or not found:
            found.append(line)
        else:
            found[-1] += line
    return found


def stale(name, why):
    """Says on the page that it is not the run it showed, then fails."""
    page = OUT / f"{name.replace('/', '-')}.html"
    page.with_suffix(".json").unlink(missing_ok=True)  # the trace of another run
    if page.exists():
        escaped = why.replace("&", "&amp;").replace("<", "&lt;")
        page.write_text(f"<!DOCTYPE html><meta charset=utf-8><title>{name}: not drawn</title>"
                        f"<h1>make picture did not draw {name} again</h1><pre>{escaped}</pre>")
        why += f"\n(the page {page.relative_to(TOP)} now says so)"
    fail(why)


def traced(chosen, folder, floor=False):
    """The trace of the run: GDB observes it within the seconds (and a few
    more for a step that never returns), then the interpreter reads it.
    With floor, GDB only stops where the observer would and reads nothing:
    what a step costs at the least, for lab/bench/picture_floor.py."""
    program = Path(chosen.program) if chosen.own else next(BUILD.glob(f"*/{chosen.program}"))
    files = {part: folder / part for part in ("out", "err", "raw", "settings")}
    run_ = f"--gtest_filter={chosen.test}" if chosen.test else f"< {quote(chosen.input)}"
    given = {"top": str(TOP), "test": chosen.test, "name": chosen.name,
             "run": f"{run_} > {quote(files['out'])} 2> {quote(files['err'])}",
             "output": str(files["out"]), "errors": str(files["err"]), "raw": str(files["raw"]),
             "steps": chosen.steps, "deadline": time.time() + chosen.seconds,
             "files": [chosen.own] if chosen.own else [],
             "input": chosen.input if chosen.input and os.path.isfile(chosen.input) else "",
             "floor": floor}
    files["settings"].write_text(json.dumps(given))
    env = {**os.environ, "PICTURE_SETTINGS": str(files["settings"]),
           "TESTS_RESULTS": str(folder), "TESTS_RECORD": "records",
           "QT_QPA_PLATFORM": "offscreen",
           "TEST_WAIT_LIMIT": "0"}  # a test GDB holds still is not waiting
    adopt_orphans()
    gdb = subprocess.Popen(["gdb", "-q", "-nx", "-batch", "-x", str(HERE / "observer" / "observe.py"),
                            str(program)], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, start_new_session=True,
                           preexec_fn=orphaned)
    try:  # a step that never ends is interrupted: the trace ends there
        _, errors = gdb.communicate(timeout=chosen.seconds + 5)
    except subprocess.TimeoutExpired:
        os.killpg(gdb.pid, signal.SIGINT)
        try:
            _, errors = gdb.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            errors = "gdb did not stop when interrupted"
    finally:  # in its own session, neither Ctrl-C nor a closed terminal reach it
        if gdb.poll() is None:
            os.killpg(gdb.pid, signal.SIGKILL)
            gdb.wait()
        end_orphans()  # what the program started, handed to this process as it ended
    if not files["raw"].exists():
        stale(chosen.name, "gdb wrote no trace: "
              + (errors.strip()[-500:] or f"exit status {gdb.returncode}"))
    records = folder / "records.jsonl"
    failures = [failure for line in (records.read_text().splitlines() if records.is_file()
                                     else []) if line.strip()
                for failure in json.loads(line).get("failures", [])]
    placed(OUT / f"{chosen.file}.raw.jsonl", files["raw"].read_text())  # to read again
    raw = interpret.records_of(files["raw"].read_text())
    typed, size = interpret.kept_input(raw, given["input"]) if given["input"] else (b"", 0)
    return interpret.interpret(raw, given, files["out"].read_bytes(),
                               files["err"].read_bytes(), failures, typed, size)


def orphaned():
    """In GDB's process: it is killed when make picture dies, however."""
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def page(trace):
    """The page: page.html with the trace in place of its null."""
    template = (HERE / "page.html").read_text()
    before, after = template.split("/*TRACE*/null", 1)
    # No "<" at all inside the script element: nothing typed or printed
    # (</script>, <!--) can end it or change how the browser reads it.
    return before + json.dumps(trace).replace("<", "\\u003c") + after


def placed(path, text):
    """Writes the file whole or not at all, through a partial file of this
    run's own."""
    with tempfile.NamedTemporaryFile("w", dir=path.parent, prefix=f".{path.name}.",
                                     delete=False) as partial:
        partial.write(text)
    mask = os.umask(0)  # a page is a file like any other: the umask decides who reads it
    os.umask(mask)
    os.chmod(partial.name, 0o666 & ~mask)
    os.replace(partial.name, path)


def refused(machine):
    """Why the picture cannot draw on this machine, or None: it reads the
    x86-64 registers and frame layout, and would draw wrong frames on
    another processor."""
    if machine in ("x86_64", "amd64"):
        return None
    return (f"this machine's processor is {machine or 'unknown'}: the picture reads the "
            "frames of an x86-64 one only, so nothing was drawn (make run FILE= works here)")


def main():
    why = refused(platform.machine())
    if why:
        fail(why)
    chosen = settings.read()
    if chosen.own:
        binary, warnings = own.built(Path(chosen.own), "picture", "drawn")
        chosen = replace(chosen, program=str(binary))
        if warnings:
            print(f"picture: the compiler warns:\n{warnings}", end="")
    else:
        chosen, warnings = tested(chosen) if chosen.test else (
            chosen, built(chosen.program, chosen.name))
    OUT.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=OUT, prefix=f".{chosen.file}.") as folder:
        trace = traced(chosen, Path(folder))
    if not trace["steps"]:
        stale(chosen.name, f"nothing to draw: {trace['end']}"
              + ("; the test's body ran no line of the project" if chosen.test else ""))
    trace["warnings"] = warnings
    placed(OUT / f"{chosen.file}.json", json.dumps(trace))
    placed(OUT / f"{chosen.file}.html", page(trace))
    kinds = sorted({f["kind"] for f in trace["findings"]})
    print(f"picture: build/pictures/{chosen.file}.html ({len(trace['steps'])} steps, "
          f"{trace['end']}; {', '.join(kinds) or 'no findings'})")
    return 0


def stopped(number, _):
    raise KeyboardInterrupt(signal.Signals(number).name)


if __name__ == "__main__":
    for caught in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(caught, stopped)
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        fail("interrupted; the page was not drawn again")
