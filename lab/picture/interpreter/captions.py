"""What a step runs and how a run ended, in the lesson's words: "copy
assignment `plain = mirela`", "the copy of `credit` for `Show`". Plain
functions over the interpreter's frames and the observer's facts.
"""
import re

from lab.picture.schema import member

MEANING = {  # how a signal ends a run, in the lesson's words
    "SIGSEGV": "a pointer that points nowhere valid was followed",
    "SIGBUS": "a pointer that points nowhere valid was followed",
    "SIGABRT": "the program aborted: an exception nobody caught, or a failed check "
               "(what it printed on standard error says which)",
    "SIGFPE": "an integer was divided by zero",
    "SIGILL": "the program ran into code that must never run (a function that "
              "returns no value, say)",
    "SIGINT": "a line did not finish: a loop that never ends?",
}


# A throw that builds its exception object (not `throw new X`: new builds
# that on the heap, and the exception object is the pointer).
THROWN = r"\bthrow\b(?!\s*new\b)"


def a(cls):
    return f"{'an' if cls[0] in 'AEIOU' else 'a'} `{cls}`"


def line_of(run, at):
    """The source line at FILE:LINE, stripped; "" when it is not known."""
    if not at:
        return ""
    path, number = at.rsplit(":", 1)
    lines = run.sources.get(path, [])
    return lines[int(number) - 1].strip() if 0 < int(number) <= len(lines) else ""


def initializers(run, at, first):
    """(member, line) of each initializer in a constructor's list, from its
    definition's first line: client(CopyOf(s)), number(an), ..."""
    path = at.rsplit(":", 1)[0]
    lines, found, started = run.sources.get(path, []), [], False
    for number in range(first, min(first + 30, len(lines) + 1)):
        text = lines[number - 1]
        if not started:
            begun = re.search(r"\)\s*:(?!:)|^\s*:(?!:)", text)
            if not begun:
                if "{" in text:
                    return found  # a body with no initializer list
                continue
            started, text = True, text[begun.end():]
        found += [(m.group(1), number) for m in re.finditer(r"(\w+)\s*[({]", text)]
        if re.search(r"[)}]\s*\{", text):
            return found
    return found


def name_of(address, step, inside=False):
    """`name` of the object of a step's frames that starts at address, the
    innermost frame's first; with inside, of the one that holds it."""
    for frame in step["frames"][::-1]:
        for item in frame["objects"]:
            start = int(item.get("address", "0x0"), 16)
            if start == address and "fields" in item or inside and start and \
                    start <= address < start + item.get("size", 1):
                return f"`{item['name']}`"
    return None


def this_of(frame):
    return next((int(o["refers"], 16) for o in frame["objects"]
                 if o["name"] == "this" and "refers" in o), None)


def base_part(this, frames):
    """Whether the newest frame works on the base part of the object its
    caller, a constructor, assignment or destructor, works on."""
    if len(frames) < 2 or not member(frames[-2]["function"])[1]:
        return False
    return this_of(frames[-2]) == this and member(frames[-2]["function"])[0] != member(
        frames[-1]["function"])[0]


def says(run, frames, before):
    """(words, facts) of what the step runs: the line, or the call that
    brought the run into this function. The facts are what the words were
    made from, for the findings and questions to read: {"copy of": the
    words for a by-value parameter's copy} or {"virtual": {ran, method,
    through}}; {} for the rest."""
    function = frames[-1]["function"]
    if len(frames) < 2 or not before or any(
            f.get("key") == frames[-1]["key"] for f in before["frames"]):
        line = f"`{line_of(run, frames[-1]['at'])}`"
        exception = run.calls.exception
        flying = exception and exception["how"] == "in flight"
        return (f"the exception `{exception['type']}` leaves this block on its way to a "
                f"handler: the objects built in it are destroyed ({line})"
                if flying else line), {}
    call = line_of(run, frames[-2]["at"]).rstrip(";,{ ").lstrip(": ")
    cls, kind = member(function)
    if kind in ("constructor", "copy constructor", "destructor"):
        return built(run, kind, cls, this_of(frames[-1]) or 0, frames, call)
    if kind:
        return f"{kind} `{call}`", {}
    method = re.match(r"(.*)::(\w+)\(", function)
    entry = frames[-1].get("entry", {})
    if method and entry.get("virtual"):
        static = entry.get("through", method.group(1))
        if method.group(1) not in static:
            through = static.replace(" *", "*").replace(" &", "&")
            return (f"virtual call: `{method.group(1)}::{method.group(2)}` through a "
                    f"`{through}`", {"virtual": {"ran": method.group(1),
                                                 "method": method.group(2),
                                                 "through": through,
                                                 "pure": bool(entry.get("pure"))}})
    return f"call: `{call}`", {}


def built(run, kind, cls, this, frames, call):
    """(words, facts) of which object a constructor builds or a destructor
    ends: a base part of one, a named one, an exception object, a by-value
    parameter's copy."""
    entry = frames[-1].get("entry", {})
    if base_part(this, frames):
        outer = member(frames[-2]["function"])[0]
        local = entry.get("outer local")
        whole = (name_of(this, {"frames": frames[:-2]}) or (local and f"`{local}`")
                 or (f"the exception object `{outer}`" if len(frames) > 2 and re.search(
                     THROWN, line_of(run, frames[-3]["at"])) else a(outer)))
        made = re.search(rf"\b{re.escape(cls.split('::')[-1])}\s*\([^()]*\)", call)
        return (f"{kind} of the `{cls}` part of {whole}"
                + (f": `{made.group()}`" if made and kind != "destructor" else "")), {}
    local = entry.get("local")
    name = name_of(this, {"frames": frames[:-1]}) or (local and f"`{local}`")
    if name:
        return f"{kind} of {name}", {}
    if re.search(THROWN, call):
        return f"{kind} of the exception object `{cls}` that `throw` builds", {}
    source = next((int(o["refers"], 16) for o in frames[-1]["objects"]
                   if o["name"] != "this" and "refers" in o), None)
    copied = name_of(source, {"frames": frames[:-1]}) if source else None
    callee = copied and re.search(rf"(\w+)\s*\([^()]*\b{re.escape(copied.strip('`'))}\b", call)
    if kind == "copy constructor" and callee:
        copy = f"the copy of {copied} for `{callee.group(1)}`"
        return f"copy constructor: {copy}", {"copy of": copy}
    return f"{kind} of {a(cls)}" + (f" (`{call}`)" if kind != "destructor" else ""), {}


def ended(run, errors):
    """What the end means, in the lesson's words."""
    end = run.end
    if run.broke:
        return "the tracer broke: its traceback is in the notes; the page shows the run up " \
               "to there"
    found_signal = re.search(r"signal (\w+)", end)
    if found_signal and end.endswith("which the program sent itself"):
        return ("the program sent itself the signal (raise or kill), which ended it as it "
                "ends without the picture")
    if found_signal:
        said = " ".join(line.strip() for line in errors.decode(errors="replace")
                        .strip().splitlines()[:2])
        return MEANING.get(found_signal.group(1), "the program was stopped by a signal") + (
            f": {said}" if said and found_signal.group(1) == "SIGABRT" else "")
    if run.test and end == "exit 1":
        return "the test failed: its failed expectations are listed with the findings"
    if "time limit" in end:
        return "the run was cut at its time limit (SECONDS=): a loop that never ends, or a long run"
    if end.startswith("cut after"):
        return "the run was cut at its step limit (STEPS=)"
    return ""
