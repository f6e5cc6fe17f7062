#!/usr/bin/env python3
"""Runs a console program on every prefix of each of its program-test inputs
and on seeded random inputs. Every run must end within two seconds with
exit status 0, nothing on standard error and the program's closing line
last. The seed is fixed, so a failure replays; failing inputs are saved.

Usage: inputsweep.py PROGRAM CASES_DIR CLOSING_KIND [RANDOM_RUNS]
CLOSING_KIND is "bye" (the output ends with "Bye!\\n") or "nextchar" (it
ends with "The next input character is ", at most one character, "\\n").
"""
import concurrent.futures
import os
import pathlib
import random
import subprocess
import sys

NEXT_CHAR = b"The next input character is "


def closing_ok(kind, out):
    if kind == "bye":
        return out.endswith(b"Bye!\n")
    at = out.rfind(NEXT_CHAR)
    return at >= 0 and out.endswith(b"\n") and len(out) - at - len(NEXT_CHAR) in (1, 2)


def random_input(rng):
    pieces = [
        lambda: str(rng.randint(-10**6, 10**6)).encode(),
        lambda: rng.choice([b"-", b"+", b".", b"e", b"E", b"#", b" ", b"\t", b"\n", b"\n\n"]),
        lambda: "".join(rng.choice("abcxyzABC") for _ in range(rng.randint(1, 8))).encode(),
        lambda: rng.choice([b"0.5", b"1e308", b"1e999", b"-0", b"nan", b"inf", b"99999999999999999999"]),
        lambda: bytes(rng.randint(128, 255) for _ in range(rng.randint(1, 4))),
        lambda: rng.choice([b"x", b"#", b"7", b" "]) * rng.randint(30, 300),
    ]
    return b"".join(rng.choice(pieces)() for _ in range(rng.randint(0, 40)))


def run(program, kind, data):
    try:
        done = subprocess.run([program], input=data, capture_output=True, timeout=2)
    except subprocess.TimeoutExpired:
        return "did not end within 2 seconds"
    if done.returncode != 0:
        return f"exit status {done.returncode}"
    if done.stderr:
        return "wrote to standard error: " + done.stderr[:300].decode(errors="replace")
    if not closing_ok(kind, done.stdout):
        return "closing line missing: ..." + repr(done.stdout[-60:])
    return None


def main():
    program, cases, kind = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3]
    random_runs = int(sys.argv[4]) if len(sys.argv) > 4 else 300
    name = pathlib.Path(program).name
    inputs = []
    for case in sorted(cases.glob("*.in")):
        data = case.read_bytes()
        inputs += [data[:cut] for cut in range(len(data) + 1)]
    prefixes = len(inputs)
    rng = random.Random(f"inputsweep-{name}")
    inputs += [random_input(rng) for _ in range(random_runs)]

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        verdicts = list(pool.map(lambda data: run(program, kind, data), inputs))
    failures = [(data, why) for data, why in zip(inputs, verdicts) if why]
    for number, (data, why) in enumerate(failures[:5]):
        saved = pathlib.Path(f"inputsweep-{name}-{number}.in")
        saved.write_bytes(data)
        print(f"FAIL ({saved}): {why}")
    print(f"{name}: {prefixes} prefixes and {random_runs} random inputs swept")
    print(f"{len(inputs) - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
