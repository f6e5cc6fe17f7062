"""Predict, then step: a question before each moment a lesson turns on,
answered from what the trace shows happened. Each is {step, returns,
technique, ask, choices [{say, right}], truth}: asked at step, answered at
returns. The wrong choices are the ones learners are known to make: the
static type's override, a handler that copies what it binds to, the `#`
taken by get(), text handed over before a flush. (Copies and destructors
are asked about by the blocks on the page, from the trace's calls.)
"""
import re

from lab.picture.interpreter.captions import line_of
from lab.picture.interpreter.state import flat


def asked(run, typed):
    """Every question the run's steps answer."""
    found = virtual_calls(run) + handlers(run) + reads(run, typed) + hand_overs(run)
    taken, kept = {c["step"] for c in run.calls.done}, []
    for question in sorted(found, key=lambda q: q["step"]):
        if question["step"] not in taken and question["step"] < question["returns"]:
            taken.add(question["step"])  # sorted by their words: no order tells the right one
            kept.append({**question, "choices": sorted(question["choices"],
                                                       key=lambda c: c["say"])})
    return kept


def choice(say, right):
    return {"say": say, "right": right}


def virtual_calls(run):
    """Which override a call through a base pointer or reference runs."""
    found = []
    for call in run.calls.virtual:
        number, ran, method = call["step"], call["ran"], call["method"]
        static = re.fullmatch(r"(?:const )?([\w:<>]+)(?: const)?[*&]", call["through"])
        if static and number and ran != static.group(1) and not call["pure"]:
            static = static.group(1)
            found.append({"step": number - 1, "returns": number, "technique": "virtual functions",
                          "ask": f"This line calls `{method}` through a `{static}` pointer or "
                                 "reference: which one runs?",
                          "choices": [choice(f"`{static}::{method}`", False),
                                      choice(f"`{ran}::{method}`", True)],
                          "truth": f"`{ran}::{method}` runs: a virtual member runs as the "
                                   "object's own type says, not as the pointer's"})
    return found


def handlers(run):
    """Which handler takes a thrown exception, and whether it binds to the
    exception object or copies it."""
    found = []
    for caught in run.calls.catches:
        thrown = next((n for n in range(caught["thrown"], -1, -1)
                       if re.search(r"\bthrow\b", line_of(run, run.steps[n]["at"]))), None)
        handler = caught["step"]
        if thrown is None or handler >= len(run.steps):
            continue
        path, number = run.steps[handler]["at"].rsplit(":", 1)
        lines = run.sources.get(path, [])
        clauses = [(n, m.group(1).strip()) for n, text in enumerate(lines, 1)
                   for m in [re.search(r"catch\s*\(([^)]*)\)", text)] if m]
        own = max((c for c in clauses if c[0] <= int(number)), default=None)
        if own is None:
            continue
        choices = []
        for line, clause in clauses:
            binds = "&" in clause or clause == "..."
            choices.append(choice(f"`catch ({clause})`, {'bound to' if binds else 'a copy of'} "
                                  "the exception object", line == own[0]))
            if line == own[0] and clause != "...":
                choices.append(choice(f"`catch ({clause})`, {'a copy of' if binds else 'bound to'}"
                                      " the exception object", False))
        found.append({"step": thrown, "returns": handler, "technique": "exceptions",
                      "ask": f"The exception `{caught['type']}` is thrown here: which handler "
                             "takes it, and does its parameter bind to the exception object or "
                             "copy it?", "choices": choices,
                      "truth": f"`catch ({own[1]})` takes it, and "
                               + ("binds to the exception object itself" if "&" in own[1]
                                  else "gets a copy of the exception object")})
    return found


def reads(run, typed):
    """What the next input character is after a delimited read."""
    found = []
    for number, step in enumerate(run.steps):
        line = line_of(run, step["at"])
        read = re.search(r"\.(getline|get)\s*\(\s*\w+\s*,", line)
        after = next_line(run, number)
        if not read or after is None or "in" not in run.steps[after]:
            continue
        at = run.steps[after]["in"]
        left = typed[at:at + 1]
        other = typed[at - 1:at] if at and typed[at - 1:at] == b"#" else \
            typed[at + 1:at + 2] if left == b"#" else None
        if other is None:
            continue
        name = read.group(1)
        found.append({"step": number, "returns": after, "technique": "delimited input",
                      "ask": f"After `{name}()` stops at the `#`, what is the next character "
                             "left in the input?",
                      "choices": [choice(shown(left), True), choice(shown(other), False)],
                      "truth": f"the next character is {shown(left)}: " + (
                          "get() leaves the `#` in the input" if left == b"#" else
                          "getline() takes the `#` and drops it")})
    return found


def hand_overs(run):
    """What the window receives when a line writes to or flushes a stream
    on a stream buffer, and when."""
    found = []
    for number, step in enumerate(run.steps):
        line = line_of(run, step["at"])
        if not re.search(r"<<|\.flush\(\)", line) or not streams(step):
            continue
        after = next_line(run, number)
        if after is None:
            continue
        before, now = handed(step), handed(run.steps[after])
        if before is None or now is None:
            continue
        got = now[len(before):]
        said = " and ".join(f"`{text}`" for text in got)
        found.append({"step": number, "returns": after, "technique": "stream buffer",
                      "ask": "When this line has run, what has the window received?",
                      "choices": [choice("nothing yet: the characters wait in the put area",
                                         not got),
                                  choice(f"{said}" if got else "the characters written so far",
                                         bool(got))],
                      "truth": (f"the window received {said}: a flush, or a full put area, "
                                "hands over" if got else "nothing yet: the characters wait "
                                "in the put area until a flush")})
    return found


def next_line(run, number):
    """The next step of the same call at another line, or None."""
    if not run.steps[number]["frames"]:
        return None
    key, line = run.steps[number]["frames"][-1]["key"], run.steps[number]["at"]
    for later in range(number + 1, len(run.steps)):
        frames = run.steps[later]["frames"]
        if not frames or all(f.get("key") != key for f in frames):
            return None  # the call has returned
        if frames[-1].get("key") == key and run.steps[later]["at"] != line:
            return later
    return None


def streams(step):
    return any(f.get("name") == "rdbuf()" for frame in step["frames"]
               for o in frame["objects"] for f in o.get("fields", []))


def handed(step):
    """What the window has received so far: the elements of the object that
    the buffer of a stream drawn here points to (a window that keeps what it
    is handed, as the tests' stand-in does), or None."""
    objects = {o.get("address"): o for frame in step["frames"] for o in frame["objects"]}
    for item in list(objects.values()):
        for buffer in item.get("fields", []):
            sink = objects.get(buffer.get("refers")) if buffer.get("name") == "rdbuf()" else None
            for part in flat(sink.get("fields", []) if sink else []):
                window = objects.get(part.get("refers")) if part.get("points") else None
                kept = next((f for f in (window or {}).get("fields", []) if kept_list(f)), None)
                if kept is not None:
                    return [f.get("value", "") for f in kept.get("fields", [])]
    return None


def kept_list(part):
    """Whether a field is a container of values: elements, or drawn empty."""
    return part.get("value") == "empty" or "fields" in part and all(
        re.fullmatch(r"\[\d+\]", f.get("name", "")) for f in part["fields"])


def shown(byte):
    """A character as the page shows it."""
    return {b"": "the end of the input", b"\n": "a line end (⏎)"}.get(
        byte, f"`{byte.decode(errors='replace')}`")
