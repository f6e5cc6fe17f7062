#!/usr/bin/env python3
"""Runs one CTest preset and reports it for a person. The test binaries say
in the learner's words what broke; this leaves CTest's own lines out, cuts
a sanitizer's report to its verdict and first places in the project's
code, shows what fits on a screen, and counts the cases from GoogleTest's
XML reports. Ctrl-C reports what has finished.

Usage: testreport.py PRESET [SECONDS]   (SECONDS: a limit on the whole run)
"""
import os
import re
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

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
RESULT = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*[\s*]*(.*?)\s+[\d.]+ sec")
CTEST_OWN = re.compile(r"^(\s+Start\s+\d+:|Test project |\d+% tests passed|"
                       r"Label Time Summary:|\w+\s+=\s+[\d.]+ sec\*proc|"
                       r"Total Test time|=+$|$)")
REPORT = re.compile(r"^=+\d+=+ERROR: |: runtime error: ")
# After a report's SUMMARY: the shadow bytes, then the abort.
REPORT_TAIL = re.compile(r"^(  0x\w+:|=>0x|Shadow |  [A-Z][A-Za-z -]+:\s|=+\d+=+ABORT)")
STACK = re.compile(r"^(READ|WRITE|freed by|(previously )?allocated by|"
                   r"(Direct|Indirect) leak)")
FRAME = re.compile(r"^\s*#\d+ 0x\w+ in (.*) ((accounts|arrays|text|window|demos|"
                   r"tests/(?!support/))\S*?:\d+)(:\d+)?$")
FAILURE = re.compile(r"^  (\S+:\d+|tests/programs/\S+): ")  # where, what broke
STOPPED = re.compile(r"^  \S+:\d+: (stopped by|did not finish)")


def digest(report):
    """The verdict and what it means, each stack's heading and its first
    frames in the project's code (two for the access)."""
    verdict = re.sub(r"^=+\d+=+| (on|at) (unknown )?(address |pc )?0x.*", "",
                     report[0]).strip()
    kind = re.sub(r"^ERROR: \w+: ", "", verdict)
    shown = [verdict + "".join(f": {m}" for k, m in MEANING.items()
                               if kind.startswith(k))]
    wanted = 2
    for line in report[1:]:
        frame = FRAME.match(line)
        if STACK.match(line):
            shown.append("  " + re.sub(r" at 0x\w+ thread T\d+", "", line))
            wanted = 2 if line.startswith(("READ", "WRITE")) else 1
        elif wanted and frame:
            shown.append(f"    in {frame.group(1)} at {frame.group(2)}")
            wanted -= 1
    return ["    " + line for line in shown]


def blocks(name, output):
    """[(name, lines)] of a failed test: a test binary's FAILED blocks, any
    other test as one. A sanitizer report is cut to its digest; one that
    stopped a test before it failed otherwise goes under its FAILED line."""
    lines, report = [], None  # a digest stands in lines as a list
    for line in output + [""]:
        plain = line[1:] if line.startswith("+") else line  # in a diff
        if report and (not any(l.startswith("SUMMARY") for l in report)
                       or REPORT_TAIL.match(plain)):
            report.append(plain)
            continue
        if report:
            lines.append(digest(report))
        report = [plain] if REPORT.search(plain) else None
        if not report and not CTEST_OWN.match(plain):
            lines.append(line)
    found = [(name, [])]
    for at, line in enumerate(lines):
        following = lines[at + 1] if at + 1 < len(lines) else ""
        previous = lines[at - 1] if at > 0 else ""
        if isinstance(line, list):
            if not str(following).startswith("FAILED "):
                found[-1][1].extend(line)
        elif line.startswith("FAILED "):
            found.append((line[len("FAILED "):],
                          previous if isinstance(previous, list) else []))
        else:
            found[-1][1].append(line if len(found) > 1 else "  " + line)
    return [block for block in found if block[1]]


def outcomes(results, name, status):
    """{case: outcome} from a test binary's GoogleTest reports, the earlier
    runs' outcomes included; {name: outcome} for any other test."""
    found = {}
    for report in sorted(results.glob(f"{name}.*xml"), key=lambda p: len(p.name)):
        root = ElementTree.parse(report).getroot()
        found.update(word.rsplit(":", 1) for word in root.get("before", "").split())
        for case in root.iter("testcase"):
            found[f"{case.get('classname')}.{case.get('name')}"] = (
                "failed" if case.find("failure") is not None else "passed")
    return found or {name: "passed" if status == "Passed" else "failed"}


def run(preset, seconds=None, top=Path()):
    """Runs the preset in the checkout at top. Returns the number of cases
    that passed, the failed ones as (name, lines), whether Ctrl-C cut the
    run short, and CTest's exit status."""
    command = ["ctest", "--preset", preset, "--output-on-failure"]
    if seconds:
        end = time.localtime(time.time() + int(seconds))
        command += ["--stop-time", time.strftime("%H:%M:%S", end)]
    with tempfile.TemporaryDirectory() as folder:  # this run's reports only
        ctest = subprocess.Popen(command, cwd=top, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True,
                                 env={**os.environ, "TESTS_RESULTS": folder})
        done, said, interrupted = {}, [], False  # test: (status, output)
        try:
            for line in ctest.stdout:
                if RESULT.match(line):
                    current = RESULT.match(line).group(1)
                    done[current] = (RESULT.match(line).group(2), [])
                    if sys.stdout.isatty():
                        print(f"\r  {len(done)} tests", end="", flush=True)
                elif line.startswith("The following tests"):
                    break
                elif done:
                    done[current][1].append(line.rstrip("\n"))
                else:
                    said.append(line)  # CTest's own, shown if no test ran
        except KeyboardInterrupt:
            ctest.terminate()
            interrupted = True
        print("\r\033[K" if sys.stdout.isatty() else "", end="")
        passed, failed = 0, []
        for name, (status, output) in done.items():
            interrupted |= "Interrupt" in status  # cut off by Ctrl-C
            found = {} if "Interrupt" in status else outcomes(Path(folder), name, status)
            passed += list(found.values()).count("passed")
            if found and (status != "Passed" or set(found.values()) != {"passed"}):
                failed += blocks(name, output)
    # First what says in words what broke, a unit test before a program
    # case; in the order of the names, the same in every run.
    failed.sort(key=lambda block: (min([
        1 + line.startswith("  tests/programs/") for line in block[1]
        if FAILURE.match(line) and not STOPPED.match(line)] + [3]), block[0]))
    if not done:
        print("".join(said), end="")
    return passed, failed, interrupted, ctest.wait()


def main(preset, seconds=None):
    passed, failed, interrupted, status = run(preset, seconds)
    shown = 0
    for number, (name, lines) in enumerate(failed):
        if number and shown + len(lines) > SCREEN:
            print(f"\n{len(failed) - number} more failed: "
                  + ", ".join(n for n, _ in failed[number:]))
            break
        print(f"\nFAILED {name}\n" + "\n".join(lines))
        shown += len(lines) + 2
    print(f"\n{preset}: {passed} passed, {len(failed)} failed"
          + (" (interrupted)" if interrupted else "")
          + ("" if passed or failed else f"; ctest ran no test (exit status {status})"))
    return 1 if failed or interrupted or status or not passed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]) if len(sys.argv) > 1 else __doc__)
