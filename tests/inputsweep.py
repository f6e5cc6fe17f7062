#!/usr/bin/env python3
"""Runs a console program on every prefix of each of its program-test inputs
and on seeded random inputs. Every run must end within two seconds with
exit status 0, nothing on standard error and the program's closing line
last. The seed is fixed, so a failure replays; failing inputs are saved.

Usage: inputsweep.py PROGRAM CASES_DIR CLOSING_KIND [RANDOM_RUNS]
CLOSING_KIND is "bye" (the output ends with "Bye!\\n") or "nextchar" (it
ends with "The next input character is ", then the character that a model of
lineread's reads below predicts, or none when that read fails, then "\\n").
"""
import concurrent.futures
import os
import pathlib
import random
import resource
import signal
import subprocess
import sys

NEXT_CHAR = b"The next input character is "


def lineread_last_char(data):
    """The character lineread's last read takes, or b"" when it fails.

    Models libstdc++'s getline(80, '#'), get(ch), ignore(80, '\\n'),
    get(80, '#') and get(ch): once a read fails or meets the end of input,
    every later read fails."""
    pos, ok = 0, True

    def scan(limit, stop):  # characters before stop, at most limit of them
        nonlocal pos
        start = pos
        while pos - start < limit and pos < len(data) and data[pos] != stop:
            pos += 1
        return pos - start

    def get_char():
        nonlocal pos, ok
        if not ok or pos >= len(data):
            ok = False
            return b""
        pos += 1
        return data[pos - 1:pos]

    stored = scan(79, ord("#"))  # getline
    if pos >= len(data) or data[pos] != ord("#"):
        ok = False  # end of input, or 79 stored with no '#' next
    else:
        pos += 1
    ch = get_char()
    if ok and ch != b"\n":  # ignore: at most 80 characters, a '\n' among them
        if scan(80, ord("\n")) < 80:  # stopped at a '\n' or the end
            if pos >= len(data):
                ok = False
            else:
                pos += 1
    if ok:  # get: leaves the '#'
        stored = scan(79, ord("#"))
        ok = stored > 0 and pos < len(data)
    return get_char()


def closing_ok(kind, out, data):
    if kind == "bye":
        return out.endswith(b"Bye!\n")
    return out.endswith(NEXT_CHAR + lineread_last_char(data) + b"\n")


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


def limited():
    """In the child: 2 s of processor time, however busy the machine is."""
    resource.setrlimit(resource.RLIMIT_CPU, (2, 2))


def run(program, kind, data):
    try:  # the clock's limit only catches a run that waits for nothing
        done = subprocess.run([program], input=data, capture_output=True, timeout=60,
                              preexec_fn=limited)
    except subprocess.TimeoutExpired:
        return "did not end within 60 seconds on the clock"
    if done.returncode in (-signal.SIGXCPU, -signal.SIGKILL):
        return "did not end within 2 seconds of processor time"
    if done.returncode != 0:
        return f"exit status {done.returncode}"
    if done.stderr:
        return "wrote to standard error: " + done.stderr[:300].decode(errors="replace")
    if not closing_ok(kind, done.stdout, data):
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
