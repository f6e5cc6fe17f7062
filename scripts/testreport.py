#!/usr/bin/env python3
"""Runs one CTest preset and reports it for a person: a passing run in one
line, a failing one as each failed test's name and what it said, with
GoogleTest's framing and a sanitizer's stacks cut down to the lines that
tell what broke and where.

Usage: testreport.py PRESET   (from the top of the checkout)
Exits 0 when every test passed.
"""
import json
import pathlib
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

TOP = pathlib.Path.cwd()
SHOWN_IN_FULL = 3  # failures shown with their messages; the rest by name
MAX_LINES = 24     # of one failure's messages

# What a sanitizer's verdict means, in the words of the lessons.
MEANING = {
    "heap-use-after-free": "a block was used after delete[] released it",
    "attempting double-free": "a block was released twice",
    "heap-buffer-overflow": "a read or write ran past the end of a heap block",
    "stack-buffer-overflow": "a read or write ran past the end of an array "
                             "on the stack",
    "new-delete-type-mismatch": "an object was deleted through a pointer to "
                                "a base whose destructor is not virtual",
    "alloc-dealloc-mismatch": "a block from new[] was released with delete, "
                              "or one from new with delete[]",
    "detected memory leaks": "a block was never released",
    "SEGV": "a pointer that points nowhere valid was followed",
}
GTEST_FRAMING = re.compile(
    r"^(Running main\(\) from|Note: Google Test filter|\[[ =A-Z-]{10}\]"
    r"|\s*\d+ FAILED TESTS?$|\s*YOU HAVE \d+ DISABLED)")
SANITIZER_START = re.compile(
    r"^=+\d+=+\s*(ERROR|WARNING): (\w+Sanitizer)|: runtime error: ")
FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+ in (.*?) (/\S+?)(:\d+)?(:\d+)?$")
# The lines of a GoogleTest failure that are its own, not the test's words.
GTEST_OWN = re.compile(
    r"^(\s|[-+]|Which is:|Expected|Value of:|Actual:|Failed$|With diff:|@@|"
    r"Google Test trace:|.*: Failure$)")


def configure_preset(preset):
    """The build folder's preset of a test preset, through its inherits."""
    presets = json.loads((TOP / "CMakePresets.json").read_text())
    tests = {p["name"]: p for p in presets["testPresets"]}
    while preset:
        entry = tests[preset]
        if "configurePreset" in entry:
            return entry["configurePreset"]
        inherits = entry.get("inherits")
        preset = inherits[0] if isinstance(inherits, list) else inherits
    sys.exit(f"testreport: no build folder for the test preset {preset}")


def relative(text):
    return text.replace(f"{TOP}/", "")


def project_frame(line):
    """'in FUNCTION at FILE:LINE' for a stack frame in the project's own
    sources (the allocation probe aside), or None."""
    match = FRAME.match(line)
    if not match:
        return None
    path = relative(match.group(2))
    if path.startswith(("/", "build/", "tests/support/")):
        return None
    return f"in {match.group(1)} at {path}{match.group(3) or ''}"


def sanitizer_digest(lines):
    """A sanitizer report cut down to its verdict, each stack's heading with
    the first frame in project code, and its summary line. Returns the
    lines and how many input lines the report took."""
    # Frames still wanted for the stack at hand: two for the faulting
    # access (where, and from where), one for each stack after it.
    shown, want_frame, used = [], 0, len(lines)
    for at, line in enumerate(lines):
        bare = re.sub(r"^=+\d+=+\s*", "", line).rstrip()
        if bare.startswith("SUMMARY:"):
            summary = re.sub(r" \(.*?\)", "", relative(bare))
            shown.append(re.sub(r" in __\w+$", "", summary))
            used = at + 1
            # Shadow bytes and their legend, up to the abort.
            while used < len(lines) and re.match(
                    r"^(\s|=>|Shadow|==\d+==ABORTING|$)", lines[used]):
                used += 1
            break
        if " runtime error: " in bare:
            shown.append(relative(bare))
        elif bare.startswith(("ERROR:", "WARNING:")):
            verdict = re.sub(r" (on address|on unknown address|at pc|pc) 0x.*",
                             "", bare)
            kind = re.sub(r"^\w+: \w+Sanitizer: ", "", verdict)
            meaning = next((m for k, m in MEANING.items()
                            if kind.startswith(k)), None)
            shown.append(verdict + (f": {meaning}" if meaning else ""))
            want_frame = 2
        elif re.match(r"^(READ|WRITE|Direct leak|Indirect leak|freed by|"
                      r"previously allocated|allocated by)", bare):
            shown.append("  " + re.sub(r" at 0x\w+ thread T\d+", "", bare))
            want_frame = 2 if bare.startswith(("READ", "WRITE")) else 1
        elif want_frame and project_frame(bare):
            shown.append("    " + project_frame(bare))
            want_frame -= 1
    return shown, used


def digest(output):
    """What a failed test said, without the framing of the tools."""
    lines = []
    raw = output.splitlines()
    at = 0
    while at < len(raw):
        line = raw[at]
        # A program case shows a sanitizer's report inside its stderr diff.
        plain = line[1:] if line.startswith("+") else line
        if SANITIZER_START.search(plain):
            rest = [l[1:] if l.startswith("+") else l for l in raw[at:]]
            shown, used = sanitizer_digest(rest)
            lines += shown
            at += used
            continue
        if line == "With diff:":  # the values are shown above already
            at += 1
            while at < len(raw) and re.match(r"^(@@|[-+ ])", raw[at]):
                at += 1
            continue
        if line.strip() and not GTEST_FRAMING.match(line) \
                and not re.match(r"^\+?=+$", line):
            lines.append(relative(line.rstrip()))
        at += 1
    if len(lines) > MAX_LINES:
        lines = lines[:MAX_LINES - 1] + [f"... ({len(lines) - MAX_LINES + 1} more lines)"]
    return lines


def lessons(output):
    """The sentences that say in words what broke: the message each failed
    assertion ends with, or a program case's closing sentence."""
    found, block = [], []
    lines = output.splitlines()
    for line in lines + ["[ end ]"]:
        if line.endswith(": Failure") or line.startswith("["):
            if len(block) > 1 and not GTEST_OWN.match(block[-1]):
                found.append(block[-1].strip())
            block = [line] if line.endswith(": Failure") else []
        elif block and line.strip():
            block.append(line)
    # A program case (runcase.sh) may close its report with a sentence.
    tool_line = re.compile(r"^([-+ @=]|exit status|standard (output|error) differs)")
    if not found and re.search(r"^(exit status|standard (output|error) differs)",
                               output, re.M) and not tool_line.match(lines[-1]):
        found.append(lines[-1].strip())
    return list(dict.fromkeys(found))


def run(preset):
    """Runs the preset; returns its tests as junit_cases does."""
    build = TOP / "build" / configure_preset(preset)
    report = build / f"testreport-{preset}.xml"
    report.unlink(missing_ok=True)
    ctest = subprocess.Popen(
        ["ctest", "--preset", preset, "--output-junit", str(report)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    progress = sys.stdout.isatty()
    tail = []
    for line in ctest.stdout:
        tail = (tail + [line.rstrip()])[-20:]
        step = re.match(r"^\s*(\d+)/(\d+) Test", line)
        if step and progress:
            print(f"\r  {step.group(1)}/{step.group(2)} tests", end="", flush=True)
    ctest.wait()
    if progress:
        print("\r\033[K", end="")
    if not report.exists():
        print("\n".join(tail))
        sys.exit(f"testreport: ctest --preset {preset} ran no test")
    return junit_cases(report)


def junit_cases(report):
    """[(name, status, output)] of a ctest JUnit report; status is "run",
    "fail", "skipped" or ctest's word for a test that could not run."""
    cases = []
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        status = case.get("status")
        if case.find("skipped") is not None or status == "disabled":
            status = "skipped"
        cases.append((case.get("name"), status,
                      case.findtext("system-out") or ""))
    return cases


def main():
    preset = sys.argv[1] if len(sys.argv) > 1 else "quick"
    started = time.monotonic()
    cases = run(preset)
    failed = [case for case in cases if case[1] not in ("run", "skipped")]
    # Those that say in words what broke first: they teach most.
    failed.sort(key=lambda case: not lessons(case[2]))
    skipped = [case for case in cases if case[1] == "skipped"]
    for number, (name, status, output) in enumerate(failed):
        if number == SHOWN_IN_FULL:
            rest = [n for n, _, _ in failed[SHOWN_IN_FULL:]]
            print(f"\n{len(rest)} more failed: " + ", ".join(rest))
            break
        print(f"\nFAILED {name}" + ("" if status == "fail" else f" ({status})"))
        for line in digest(output):
            print(f"  {line}")
    seconds = time.monotonic() - started
    passed = len(cases) - len(failed) - len(skipped)
    print(f"\nctest --preset {preset}: {len(cases)} tests in {seconds:.1f} s")
    print(f"{preset}: {passed} passed, {len(failed)} failed"
          + (f", {len(skipped)} skipped" if skipped else ""))
    return 1 if failed or not cases else 0


if __name__ == "__main__":
    sys.exit(main())
