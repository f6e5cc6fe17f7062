"""make picture: draws one run of a console program, or the body of one unit
test, from the working tree as it is. It builds it in the picture build
(clang++, as the tests), has GDB step it (trace.py) into a trace, and
writes build/pictures/NAME.html: page.html with the trace inside, one page
that opens from disk and draws each step itself, and NAME.json, the trace.

Usage: python3 -m picture.draw, with make's variables in the environment:
NAME (a program) and INPUT (its input file), or TEST (Suite.Name); STEPS
(5000) and SECONDS (60) cap the run.
"""
import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from scripts import TOP, fail, programs, run

HERE = Path(__file__).resolve().parent
OUT = TOP / "build" / "pictures"
BUILD = TOP / "build" / "picture"


def settings():
    """(name, binary, gdb's run arguments, test, steps, seconds), each
    checked: a wrong one ends the command with a line that says so."""
    name, given, test = (os.environ.get(v, "") for v in ("NAME", "INPUT", "TEST"))
    steps, seconds = os.environ.get("STEPS") or "5000", os.environ.get("SECONDS") or "60"
    if not re.fullmatch(r"[1-9]\d{0,6}", steps):
        fail(f"STEPS={steps}: the most steps to draw, a whole number from 1 to 9999999")
    if not re.fullmatch(r"\d{1,5}(\.\d+)?", seconds) or float(seconds) <= 0:
        fail(f"SECONDS={seconds}: the most seconds the run may take, a number above 0")
    if test and (name or given):
        fail("it takes NAME=<program> (with INPUT=<file>) or TEST=<Suite.Name>, not both")
    if test:
        return (*tested(test), int(steps), float(seconds))
    listed = {p["name"]: p for p in programs()}
    if listed.get(name, {}).get("window"):
        fail(f"{name} draws into a window, which a picture of memory cannot "
             "follow; draw its stream buffer's tests instead, for example "
             "make picture TEST=PaneSink.HandsOverALineAtTheFlushAndNotBefore")
    if name not in listed:
        fail((f"no program named '{name}'" if name else "it needs NAME=<program> or "
              "TEST=<Suite.Name>") + "; NAME= is one of "
             + ", ".join(n for n, p in listed.items() if not p.get("window")))
    sample = listed[name]["input"]
    input_ = Path(given) if given else TOP / sample if sample else Path("/dev/null")
    if given and not input_.is_file():
        fail(f"no input file {given}")
    return name, name, f"< {quote(input_.resolve())}", None, int(steps), float(seconds)


def tested(test):
    """(name, binary, gdb's run arguments, test) of one test named exactly."""
    found = re.fullmatch(r"((\w+)(/\w+)?)\.(\w+)", test)
    if not found:
        fail(f"TEST={test}: one test, named Suite.Name as make test names it "
             "(no patterns)")
    suite, case = found.group(2), found.group(4)
    for source in sorted(TOP.glob("tests/*_test.cpp")):
        if re.search(rf"^(TYPED_)?TEST(_F|_P)?\({suite}, {case}\)", source.read_text(), re.M):
            built(source.stem, test)
            listed = run(BUILD / "tests" / source.stem, "--gtest_list_tests",
                         f"--gtest_filter={test}").stdout
            if f"\n  {case}" in listed and listed.startswith(found.group(1) + "."):
                return test, source.stem, f"--gtest_filter={test}", test
            names = re.findall(rf"^({suite}\S*)\.", run(
                BUILD / "tests" / source.stem, "--gtest_list_tests").stdout, re.M)
            fail(f"no test named {test}; {suite}'s {case} runs as "
                 + " and ".join(f"{n}.{case}" for n in sorted(set(names))))
    fail(f"no test named {test} in tests/ (Suite.Name, as make test names it)")


def quote(path):
    return "'" + str(path).replace("'", "'\\''") + "'"


def built(binary, name):
    """Builds the binary in the picture build, one build at a time; prints
    what the compiler warns of in the files it is made of."""
    BUILD.mkdir(parents=True, exist_ok=True)
    with open(BUILD / "picture.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        done = run("cmake", "--build", "--preset", "picture", "--target", binary)
        objects = run("ninja", "-C", BUILD, "-t", "inputs", binary).stdout.split()
    warnings = "".join((BUILD / f"{o}.warnings").read_text() for o in objects
                       if (BUILD / f"{o}.warnings").is_file())
    if done.returncode:
        return stale(name, f"{binary} does not build:\n{done.stdout + done.stderr}")
    if warnings:
        print(f"picture: the compiler warns:\n{warnings}", end="")
    return warnings


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


def traced(name, binary, run_, test, steps, seconds, folder):
    """The trace of the run, made by GDB within the seconds (and a few more
    for a step that never returns)."""
    program = next(BUILD.glob(f"*/{binary}"))
    files = {part: folder / part for part in ("out", "err", "json", "records")}
    env = {**os.environ, "PICTURE_TOP": str(TOP), "PICTURE_NAME": name,
           "PICTURE_RUN": f"{run_} > {quote(files['out'])} 2> {quote(files['err'])}",
           "PICTURE_OUTPUT": str(files["out"]), "PICTURE_ERRORS": str(files["err"]),
           "PICTURE_JSON": str(files["json"]), "PICTURE_TEST": test or "",
           "PICTURE_STEPS": str(steps), "PICTURE_DEADLINE": str(time.time() + seconds),
           "TESTS_RESULTS": str(folder), "TESTS_RECORD": "records",
           "PICTURE_RECORDS": str(folder / "records.jsonl"), "QT_QPA_PLATFORM": "offscreen"}
    gdb = subprocess.Popen(["gdb", "-q", "-nx", "-batch", "-x", str(HERE / "trace.py"),
                            str(program)], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, start_new_session=True,
                           preexec_fn=orphaned)
    try:  # a step that never ends is interrupted: the trace ends there
        _, errors = gdb.communicate(timeout=seconds + 5)
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
    if not files["json"].exists():
        stale(name, "gdb wrote no trace: " + (errors.strip()[-500:] or f"exit status {gdb.returncode}"))
    return json.loads(files["json"].read_text())


def orphaned():
    """In GDB's process: it is killed when make picture dies, however."""
    import ctypes
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def page(trace):
    """The page: page.html with the trace in place of its null."""
    template = (HERE / "page.html").read_text()
    before, after = template.split("/*TRACE*/null", 1)
    return before + json.dumps(trace).replace("</", "<\\/") + after


def placed(path, text):
    """Writes the file whole or not at all."""
    partial = path.with_name(path.name + ".part")
    partial.write_text(text)
    os.replace(partial, path)


def main():
    name, binary, run_, test, steps, seconds = settings()
    warnings = built(binary, name)
    OUT.mkdir(parents=True, exist_ok=True)
    file = name.replace("/", "-")  # a typed test's name has a slash
    with tempfile.TemporaryDirectory(dir=OUT, prefix=f".{file}.") as folder:
        trace = traced(name, binary, run_, test, steps, seconds, Path(folder))
    if not trace["steps"]:
        stale(name, f"nothing to draw: {trace['end']}"
              + (f"; the test's body ran no line of the project" if test else ""))
    trace["warnings"] = warnings
    placed(OUT / f"{file}.json", json.dumps(trace))
    placed(OUT / f"{file}.html", page(trace))
    kinds = sorted({f["kind"] for f in trace["findings"]})
    print(f"picture: build/pictures/{file}.html ({len(trace['steps'])} steps, "
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
