"""make test and make test-all: runs one CTest preset and reports it for a
person, from data. CTest's JUnit report says how each CTest test ended; the
outcome records (TESTS_RESULTS/TEST.jsonl, a JSON object a case: name,
outcome, file, failures with their sentences; see lab/testmain/testmain.cpp)
say what each case did and said. Only a sanitizer's report is read from the
output, cut to its verdict and first places in the project's code for show.

With --reuse (make test), a test whose command, files and settings are all
as when it last passed is not run again: its records are kept in
build/outcomes-PRESET.json and counted as unchanged.

Usage: python3 -m lab.commands.testreport PRESET [SECONDS] [--reuse]
"""
import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from collections import namedtuple
from pathlib import Path

from lab import TOP, fail, run as tool

SCREEN = 30  # lines of failures shown in full; the rest are named
MEANING = {  # a sanitizer's verdict in the words of the lessons
    "heap-use-after-free": "a block was used after delete[] released it",
    "attempting double-free": "a block was released twice",
    "heap-buffer-overflow": "a read or write ran past the end of a heap block",
    "stack-buffer-overflow": "a read or write ran past the end of an array",
    "new-delete-type-mismatch": "an object was deleted through a pointer to a "
                                "base whose destructor is not virtual",
    "alloc-dealloc-mismatch": "a block from new[] was released with delete, "
                              "or one from new with delete[]",
    "detected memory leaks": "a block was never released",
    "stack-overflow": "a function called itself without end",
    "SEGV": "a pointer that points nowhere valid was followed",
}
REPORT = re.compile(r"^=+\d+=+ERROR: |: runtime error: ")
STACK = re.compile(r"^(READ|WRITE|freed by|(previously )?allocated by|"
                   r"(Direct|Indirect) leak)")
FRAME = re.compile(r"^\s*#\d+ 0x\w+ in (.*) ((accounts|arrays|text|window|demos|"
                   r"tests/(?!support/))\S*?:\d+)(:\d+)?$")
# The variables a test reads from the run's environment: only these are in
# its key, so a shell with another PATH or an unrelated variable reuses.
READ = re.compile(r"(A|UB|L)SAN_OPTIONS|TEST_TIME_LIMIT|TEST_WAIT_LIMIT|RUN_TIMEOUT|QT_\w+|GTEST_\w+|"
                  r"DISPLAY|LANG|LC_\w+|TZ")
BUSY = ("slow", "timeout")  # a test the run's time cut: the machine was busy


def digests(output, own=None):
    """Each sanitizer report in a test's output as a few lines: the verdict
    and what it means, each stack's heading and its first frames in the
    project's code, or in the learner's own file (own), two for the access."""
    found, wanted = [], 0
    mine = own and re.compile(rf"^\s*#\d+ 0x\w+ in (.*) ({re.escape(own)}:\d+)(:\d+)?$")
    for line in output:
        frame = FRAME.match(line) or (mine and mine.match(line))
        if REPORT.search(line):
            verdict = re.sub(r"^=+\d+=+| (on|at) (unknown )?(address |pc )?0x.*",
                             "", line).strip()
            kind = re.sub(r"^ERROR: \w+: ", "", verdict)
            found.append([verdict + "".join(f": {m}" for k, m in MEANING.items()
                                            if kind.startswith(k))])
        elif found and STACK.match(line):
            found[-1].append("  " + re.sub(r" at 0x\w+ thread T\d+", "", line))
            wanted = 2 if line.startswith(("READ", "WRITE")) else 1
        elif found and wanted and frame:
            found[-1].append(f"    in {frame.group(1)} at {frame.group(2)}")
            wanted -= 1
    return [["    " + line for line in digest] for digest in found]


def failure(record, reports, output):
    """(rank, name, lines, first) of a failed case: rank 0 for a unit test
    that says in words what broke, 1 for a program case that does, 2 for
    the rest; first: the first thing it says."""
    program = record["file"].startswith("tests/programs/")
    lines, said = [], []
    for found in record["failures"]:
        stop = record.get("stopped") == found["sentence"]
        if found["sentence"] and not stop:
            said.append(f"{found['at']}: {found['sentence']}")
        if stop and record["outcome"] == "crashed" and reports:
            lines += reports.pop(0)
        if not program:
            lines.append(f"  {found['at']}:" + (" " if found["sentence"] else "")
                         + found["sentence"])
            lines += ["    " + line for line in found["detail"]]
    if program:
        lines += ["  " + line for line in output]
    rank = 2 if not said else 1 if program else 0
    return rank, record["name"], lines, (said or [l.strip() for l in lines] or [""])[0]


def key(test, top, digests):
    """What a test's outcome depends on: its command and settings, the
    variables it reads, the files it runs and reads (those its command,
    its settings and the presets' environment name), the packages
    installed. digests: each file's digest, by path, kept for the run (a
    program's cases share its binary)."""
    def digest(file):
        if file not in digests:
            digests[file] = hashlib.sha256(file.read_bytes()).digest()
        return digests[file]

    made = hashlib.sha256(json.dumps(
        [test["command"], test.get("properties"),
         {k: v for k, v in os.environ.items() if READ.fullmatch(k)}]).encode())
    presets = top / "CMakePresets.json"
    for path in (presets, top / "build/deps.stamp"):
        made.update(path.read_bytes() if path.is_file() else b"")
    named = json.dumps(test.get("properties")) + (presets.read_text().replace(
        "${sourceDir}", str(top)) if presets.is_file() else "")
    for file in sorted(named_files(named, top)):  # a suppressions file, say
        made.update(str(file).encode() + digest(file))
    for argument in test["command"]:
        path = Path(argument)
        if not path.is_absolute():
            continue
        files = [path] if path.is_file() else []
        if path.is_dir():  # a package the test imports: each file of it, at any depth
            files += sorted(f for f in path.rglob("*") if f.is_file()
                            and "__pycache__" not in f.relative_to(path).parts)
        files += sorted(path.parent.glob(path.name + ".*"))  # a case's files
        if path.suffix in (".sh", ".py"):  # and what a script sources
            files += sorted(path.parent.glob("*" + path.suffix))
        for file in files:
            made.update(file.name.encode() + digest(file))
    return made.hexdigest()


def named_files(text, top):
    """The files that settings name: absolute paths up to a quote, colon or
    semicolon (an option list's separators). A path in the checkout may hold
    spaces, as the checkout's own path may; others end at a blank too."""
    found = set()
    for start in [m.start() for m in re.finditer(re.escape(str(top) + "/"), text)]:
        words = re.match(r"[^'\":;]+", text[start:]).group().split(" ")
        while words and not Path(" ".join(words)).is_file():
            words.pop()
        if words:
            found.add(Path(" ".join(words)))
    return found | {Path(p) for p in re.findall(r"(/[^'\":;\s]+)", text) if Path(p).is_file()}


def kept_outcomes(path):
    """The outcomes kept from earlier runs; none when the file is missing,
    not whole or of another shape (said in one line)."""
    try:
        kept = json.loads(path.read_text())
    except FileNotFoundError:
        return {}
    except (OSError, ValueError):
        kept = None
    if isinstance(kept, dict) and all(isinstance(v, dict) and isinstance(v.get("records"), list)
                                      for v in kept.values()):
        return kept
    print(f"note: {path.name} could not be read; every test runs again", file=sys.stderr)
    return {}


def read_records(folder):
    """{test: [record]} from the outcome records; a line cut short (a kill
    can cut one) counts as none, and is said once."""
    found, broken = {}, 0
    for file in folder.glob("*.jsonl"):
        found[file.stem] = []
        for line in file.read_text(errors="replace").splitlines():
            try:
                record = json.loads(line)
                found[file.stem].append(record if isinstance(record, dict) and
                                        "outcome" in record else {}["no outcome"])
            except (ValueError, KeyError):
                broken += 1
    if broken:
        print(f"note: {broken} outcome record(s) could not be read and count as none",
              file=sys.stderr)
    return found


def write_kept(path, kept):
    """Writes the outcomes to reuse whole or not at all, through a partial
    file of this run's own; a failed write is a warning."""
    try:
        with tempfile.NamedTemporaryFile("w", dir=path.parent, delete=False,
                                         prefix=f".{path.name}.") as partial:
            partial.write(json.dumps(kept))
        os.replace(partial.name, path)
    except OSError as error:
        print(f"warning: the outcomes to reuse were not kept ({error.strerror}): the next "
              "run runs every test", file=sys.stderr)


Result = namedtuple("Result", "passed reused failed interrupted cut status kept")


def run(preset, seconds=None, top=TOP, reuse=False):
    """Runs the preset in the checkout at top: the cases that passed, those
    of them reused, the failures as (rank, name, lines, first), whether Ctrl-C
    stopped it, the tests the time cut off, and CTest's exit status."""
    listed = tool("ctest", "--preset", preset, "--show-only=json-v1", cwd=top)
    if listed.returncode:
        fail(listed.stderr.strip() or f"ctest --preset {preset} failed")
    tests = {test["name"]: test for test in json.loads(listed.stdout)["tests"]}
    kept_file = top / "build" / f"outcomes-{preset}.json"
    kept = kept_outcomes(kept_file) if reuse else {}
    hashed = {}
    keys = {name: key(test, top, hashed) for name, test in tests.items()} if reuse else {}
    reused = [name for name in tests if kept.get(name, {}).get("key") == keys.get(name, 0)]
    with tempfile.TemporaryDirectory() as folder:
        ended, interrupted, status = ctest(preset, seconds, top, Path(folder),
                                           [name for name in tests if name not in reused])
        records = read_records(Path(folder))
    passed = same = sum(len(kept[name]["records"]) or 1 for name in reused)
    failed, cut = [], []
    for name, (ok, output, why) in ended.items():
        own = records.get(name, [])
        passed += sum(r["outcome"] == "passed" for r in own) or (ok and not own)
        reports = digests(output)
        cut += [r["name"] for r in own if r["outcome"] in BUSY]
        failed += [failure(r, reports, output) for r in own
                   if r["outcome"] not in ("passed", *BUSY)]
        if why in BUSY and all(r["outcome"] == "passed" for r in own):
            cut.append(name)  # CTest's own limit: still running, not failed
        elif not ok and all(r["outcome"] == "passed" for r in own):
            # It failed outside any case (a leak found at exit), or has none.
            lines = sum(reports, []) or ["  " + line for line in output[-12:]] or [
                f"  it failed without a word: {why or 'no reason given'}"]
            failed.append((2, name, lines, lines[0].strip()))
        kept.pop(name, None)
        if ok and not interrupted and all(r["outcome"] == "passed" for r in own):
            kept[name] = {"key": keys.get(name), "records": own}
    if not interrupted:
        cut += [name for name in tests if name not in ended and name not in reused]
    return Result(passed, same, sorted(failed), interrupted, cut, status,
                  (kept_file, kept) if reuse else None)


def ctest(preset, seconds, top, folder, names):
    """Runs the named tests: ({test: (ended well, output lines)}, whether
    Ctrl-C cut it short, CTest's exit status)."""
    if not names:
        return {}, False, 0
    env = {**os.environ, "TESTS_RESULTS": str(folder)}
    command = ["ctest", "--preset", preset, "--output-on-failure",
               "--output-junit", str(folder / "ctest.xml"),
               "-R", "^(" + "|".join(re.sub(r"([][^$.*+?|()\\])", r"\\\1", n)
                                     for n in names) + ")$"]
    if seconds:  # more on a busy machine: load must not turn into failures
        load = os.getloadavg()[0] / (os.cpu_count() or 1)
        end = time.time() + int(seconds) * max(1.0, load)
        command += ["--stop-time", time.strftime("%H:%M:%S", time.localtime(end))]
        env["TESTS_DEADLINE"] = str(int(end) - 3)  # a slow test is named first
    process = subprocess.Popen(command, cwd=top, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, env=env)
    interrupted, said, count = False, [], 0
    try:
        for line in process.stdout:  # shown as it goes at a terminal
            said.append(line)
            count += " Test #" in line
            if sys.stdout.isatty() and " Test #" in line:
                print(f"\r  {count} tests", end="", flush=True)
    except KeyboardInterrupt:
        process.terminate()
        interrupted = True
    print("\r\033[K" if sys.stdout.isatty() else "", end="")
    status = process.wait()
    report = folder / "ctest.xml"
    if not report.is_file():  # Ctrl-C: what has finished wrote its records
        if not interrupted:
            print("".join(said), end="")
        return {name: (interrupted and all(r["outcome"] == "passed" for r in own), [], None)
                for name, own in read_records(folder).items()}, interrupted, status
    ended = {}
    # CTest ends what still runs at its stop time, silently: a test that
    # failed then without a word is one the time cut (its records, if it
    # wrote any, say what it did before).
    up = seconds and time.time() >= end - 1
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        if case.get("status") in ("run", "fail"):
            out = case.findtext("system-out") or ""
            broke = case.find("failure")
            why = None if broke is None else (broke.get("message") or "").strip().lower()
            if broke is not None and up and not out.strip():
                why = "timeout"
            ended[case.get("name")] = (broke is None, out.splitlines(), why)
    return ended, interrupted, status


def main(args):
    parser = argparse.ArgumentParser(prog="testreport", description=__doc__.split("\n\n")[0])
    parser.add_argument("preset")
    parser.add_argument("seconds", nargs="?", type=int,
                        help="the run's time, stretched by the machine's load")
    parser.add_argument("--reuse", action="store_true",
                        help="keep the outcome of a test whose inputs are as when it passed")
    args = parser.parse_args(args)
    result = run(args.preset, args.seconds, reuse=args.reuse)
    preset = args.preset
    failed = result.failed
    shown = 0
    for number, (_, name, lines, _) in enumerate(failed):
        if number and shown + len(lines) > SCREEN:
            print(f"\n{len(failed) - number} more failed: "
                  + ", ".join(failure[1] for failure in failed[number:]))
            break
        print(f"\nFAILED {name}\n" + "\n".join(lines))
        shown += len(lines) + 2
    if result.cut:
        print(f"\nNOT FINISHED: {len(result.cut)} tests, the machine was busy and the run's "
              f"time was up (a load, not a fault of the code): {', '.join(result.cut[:6])}"
              + (", ..." if len(result.cut) > 6 else "") + "; run make test again")
    print(f"\n{preset}: {result.passed} passed"
          + (f" ({result.reused} unchanged since the last run)" if result.reused else "")
          + f", {len(result.failed)} failed"
          + (f", {len(result.cut)} not finished" if result.cut else "")
          + (" (interrupted)" if result.interrupted else "")
          + ("" if result.passed or failed or result.interrupted or result.cut else
             f"; ctest ran no test (exit status {result.status})"))
    if result.kept:  # after the report: a full disk loses no verdict
        write_kept(*result.kept)
    if failed or result.interrupted or not (result.passed or result.cut):
        return 1
    return 3 if result.cut else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        fail("interrupted before the tests ran")
