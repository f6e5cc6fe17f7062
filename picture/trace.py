"""The tracer of make picture, run inside GDB (gdb -batch -x trace.py):
steps one run of a program, or the body of one unit test, line by line
through the project's own code, and writes as JSON what memory holds at each
step (the frames with their objects, the blocks the recorder tells of, the
output so far) and what went wrong where. Settings come from the
environment: PICTURE_TOP (the checkout), PICTURE_RUN (gdb's run arguments),
PICTURE_OUTPUT (where standard output goes), PICTURE_TEST (Suite.Name),
PICTURE_NAME, PICTURE_JSON, PICTURE_STEPS, PICTURE_SECONDS.
"""
import json
import os
import re
import time
from pathlib import Path

import gdb

TOP = os.environ["PICTURE_TOP"].rstrip("/") + "/"
TEST = os.environ.get("PICTURE_TEST")
STEPS, SECONDS = int(os.environ["PICTURE_STEPS"]), float(os.environ["PICTURE_SECONDS"])
OUTPUT = os.environ["PICTURE_OUTPUT"]  # the program's standard output
FAILS = (gdb.error, gdb.MemoryError, RuntimeError, TypeError, UnicodeError)
blocks = {}  # start address: the block as the page draws it, and where it came from
findings, steps, sources = [], [], {}
signal = None  # of the last stop


# Where the run is: the project's own frames, its functions in its words.

def project_file(path):
    """A source of the lessons or of the tests (not of the tests' support)."""
    return path.startswith(TOP) and not path.startswith(
        tuple(TOP + folder for folder in ("build/", "picture/", "tests/support/")))


def project(frame):
    """FILE:LINE of a frame in the project's own code, or None."""
    try:
        sal = frame.find_sal()
    except gdb.error:
        return None
    name = sal.symtab.filename if sal.symtab else ""
    return f"{name[len(TOP):]}:{sal.line}" if project_file(name) else None


def chain():
    """The project's frames, outermost first."""
    frame, found = gdb.newest_frame(), []
    while frame is not None:
        found += [frame] if project(frame) else []
        frame = frame.older()
    return found[::-1]


def where():
    """The innermost project frame's function and place."""
    frames = chain()
    return (named(frames[-1]), project(frames[-1])) if frames else ("??", "??")


def named(frame):
    """The frame's function; a test's body as the TEST that wrote it."""
    name = frame.function().print_name if frame.function() else "??"
    test = re.match(r"(?:\(anonymous namespace\)::)?(\w+?)_(\w+)_Test(<.*>)?::TestBody", name)
    return f"TEST({test.group(1)}, {test.group(2)})" if test else name


def member(function):
    """Which special member a function is, in the lesson's words, or None."""
    match = re.match(r"(?:.*::)?(\w+)::(~?\w+|operator=)\((.*)\)", function)
    if not match:
        return None
    cls, name, params = match.groups()
    copy = params == f"{cls} const&"
    return {cls: "copy constructor" if copy else "constructor", "~" + cls: "destructor",
            "operator=": "copy assignment" if copy else None}.get(name)


def line_of(at):
    path, number = at.rsplit(":", 1)
    lines = sources.setdefault(path, open(TOP + path).read().splitlines())
    return lines[int(number) - 1].strip() if int(number) <= len(lines) else ""


# The blocks, as the recorder tells of them.

class Recorded(gdb.Breakpoint):
    """The recorder's picture_event: kind 0 allocated, 1 released, 2 again."""

    def stop(self):
        frame = gdb.newest_frame()
        kind, start = int(frame.read_var("kind")), int(frame.read_var("start"))
        if kind == 0:
            blocks[start] = {"id": len(blocks) + 1, "size": int(frame.read_var("size")),
                             "state": "live", "at": where()[1], "shown": asked(frame)}
        elif start in blocks and kind == 1:
            blocks[start].update(state="released", releaser=where()[0])
        elif start in blocks and blocks[start]["shown"]:  # in the step that runs
            block = blocks[start]
            findings.append({"step": len(steps) - 1, "kind": "double free",
                             "function": where()[0], "block": block["id"],
                             "says": f"block {block['id']} is released a second time, in "
                                     f"{where()[0]}; {block['releaser']} had released it"})
        return False


def asked(frame):
    """Whether a line of the project asked for the block (by new or
    std::make_unique), not the library for its own ends (a string's
    characters, GoogleTest's records, the tests' support)."""
    frame = frame.older()
    while frame is not None and re.match(r"operator new|std::make_(unique|shared)",
                                         frame.name() or ""):
        frame = frame.older()
    return frame is not None and project(frame) is not None


def block_of(address):
    return next(((start, block) for start, block in blocks.items()
                 if start <= address < start + max(block["size"], 1)), (None, None))


# Memory as the page draws it.

def describe(name, value, seen):
    """An object with its fields, a reference to one, or a plain value."""
    kind = value.type.strip_typedefs().unqualified()
    if kind.code == gdb.TYPE_CODE_REF or name == "this":
        target = value.referenced_value() if kind.code == gdb.TYPE_CODE_REF else value.dereference()
        return {"name": name, "type": str(value.type), "refers": hex(int(target.address))}
    shown = {"name": name, "type": str(value.type), "address": hex(int(value.address or 0))}
    if kind.code == gdb.TYPE_CODE_STRUCT and not str(kind).startswith("std::"):
        seen[int(value.address)] = value
        return {**shown, "fields": fields(value, seen)}
    if kind.code == gdb.TYPE_CODE_ARRAY and kind.target().sizeof > 1:  # element by element
        count = min(kind.range()[1] + 1, 16)
        return {**shown, "fields": [field(f"[{i}]", value[i], seen) for i in range(count)]}
    return field(name, value, seen)


def fields(value, seen):
    """An object's fields, its base classes' first."""
    found = []
    for part in value.type.strip_typedefs().fields():
        if part.is_base_class:
            found += fields(value[part], seen)
        elif not part.artificial and hasattr(part, "bitpos"):
            found.append(field(part.name, value[part], seen))
    return found


def field(name, value, seen):
    """A field or plain local: its value, and the block it points into."""
    kind = value.type.strip_typedefs()
    try:
        if kind.code == gdb.TYPE_CODE_ARRAY and kind.target().sizeof == 1:
            return {"name": name, "value": '"' + value.string(errors="replace")[:40] + '"'}
        shown, address, pointer = {"name": name, "value": str(value)[:60]}, None, value
        if kind.code == gdb.TYPE_CODE_PTR:
            address = int(value)
        elif re.search(r"0x[0-9a-f]+", shown["value"]):  # a smart pointer, as its T*
            address = int(re.search(r"0x[0-9a-f]+", shown["value"]).group(), 16)
            pointer = gdb.Value(address).cast(kind.template_argument(0).pointer())
    except FAILS:
        return {"name": name, "value": "?"}
    start, block = block_of(address) if address else (None, None)
    if block:
        shown.update(value=hex(address), block=block["id"])
        block["shown"] = True
        if address == start:
            contents(block, pointer, seen)
    return shown


def contents(block, pointer, seen):
    """What a block holds, as the pointer at its start says: an object (of
    its dynamic type), text or numbers."""
    target = pointer.type.strip_typedefs().target().strip_typedefs()
    try:
        if target.code == gdb.TYPE_CODE_STRUCT:
            item = pointer.dereference()
            item = item.cast(item.dynamic_type)
            if int(item.address) not in seen:
                seen[int(item.address)] = item
                block["object"] = {"type": str(item.type), "fields": fields(item, seen)}
        elif target.code == gdb.TYPE_CODE_FLT:
            count = min(block["size"] // target.sizeof, 12)
            block["text"] = " ".join(f"{float(pointer[i]):g}" for i in range(count))
    except FAILS:
        pass


def variables(frame, newest):
    """The frame's arguments and locals in scope, each with whether it is
    built yet: a local is not before its declaration has run, but in a
    caller the one the callee builds is shown."""
    found, scope, line = [], frame.block(), frame.find_sal().line
    while scope is not None and not scope.is_static:  # innermost scope first
        found = [(symbol, symbol.is_argument or symbol.line < line + (not newest))
                 for symbol in scope if (symbol.is_variable or symbol.is_argument)
                 and not symbol.name.startswith(("__", "gtest"))  # GoogleTest's own
                 and not (symbol.name == "this" and named(frame).startswith("TEST("))] + found
        scope = None if scope.function else scope.superblock
    return found


def statics(frame, seen):
    """The project's variables of static storage in the frame's file."""
    scope = frame.block()
    while not scope.is_static:
        scope = scope.superblock
    return [describe(symbol.name.replace("(anonymous namespace)::", ""), symbol.value(), seen)
            for block in (scope, scope.global_block) for symbol in block
            if symbol.is_variable and not re.match(r"_|std::", symbol.name)
            and "testing::" not in str(symbol.type)  # GoogleTest's records of the tests
            and symbol.symtab.filename == frame.find_sal().symtab.filename]


# One step.

def record(last):
    """The step now: its frames and blocks, what it runs, and a block that
    fields of two objects point into, found the first time."""
    gdb_frames, seen, frames = chain(), {}, []
    for start, block in blocks.items():  # text, unless a pointer says otherwise
        if block["shown"] and "object" not in block:
            raw = bytes(gdb.selected_inferior().read_memory(start, min(block["size"], 60)))
            block["text"] = raw.split(b"\0")[0].decode(errors="replace")
    for frame in gdb_frames:
        shown = []
        for symbol, built in variables(frame, frame == gdb_frames[-1]):
            try:
                value = symbol.value(frame)
                shown.append(describe(symbol.name, value, seen) if built else {
                    "name": symbol.name, "type": str(value.type), "state": "not built yet",
                    "address": hex(int(value.address or 0))})
            except FAILS:
                pass
        frames.append({"function": named(frame), "at": project(frame), "objects": shown})
        line_of(frames[-1]["at"])  # the page shows every frame's source
    globals_ = statics(gdb_frames[0], seen)
    step = {"at": frames[-1]["at"], "function": frames[-1]["function"],
            "member": member(frames[-1]["function"]),
            "says": says(frames, gdb_frames), "output": open(OUTPUT, errors="replace").read(),
            "frames": ([{"function": "globals", "at": None, "objects": globals_}]
                       if globals_ else []) + frames,
            "blocks": [{"address": hex(start), **{k: v for k, v in b.items() if k in (
                "id", "size", "state", "text", "object", "at")}}
                       for start, b in blocks.items() if b["shown"]]}
    objects = {o["address"]: (f"`{o['name']}`", o["fields"]) for f in step["frames"]
               for o in f["objects"] if "fields" in o}
    objects.update({hex(start): (f"the `{b['object']['type']}` on the heap (block {b['id']})",
                                 b["object"]["fields"]) for start, b in blocks.items() if "object" in b})
    holders = {}
    for address, (_, parts) in objects.items():
        for part in parts:
            holders.setdefault(part.get("block"), set()).add(address)
    for block in {b["id"] for b in blocks.values() if b["state"] == "live"} & set(holders):
        if len(holders[block]) > 1 and not any(f.get("block") == block for f in findings):
            held = " and ".join(objects[h][0] for h in sorted(holders[block]))
            findings.append({"step": len(steps), "kind": "shared block", "block": block,
                             "function": last,
                             "says": f"{held} hold one block, block {block}, where each "
                                     f"should own a block of its own: {last} made them share it"})
    steps.append(step)


def says(frames, gdb_frames):
    """What the step runs, in the lesson's words: the line, or the call."""
    function, before = frames[-1]["function"], steps[-1]["frames"] if steps else []
    if len(frames) < 2 or len(frames) <= len([f for f in before if f["at"]]):
        return f"`{line_of(frames[-1]['at'])}`"
    call, kind = line_of(frames[-2]["at"]).rstrip(";,{ ").lstrip(": "), member(function)
    this = next((o["refers"] for o in frames[-1]["objects"] if o["name"] == "this"), None)
    name = next((o["name"] for f in frames[:-1] for o in f["objects"]
                 if this and o.get("address") == this), None)
    if kind in ("constructor", "destructor"):
        return f"{kind} of `{name}`" if name else f"{kind} of a `{function.split('::')[0]}`"
    if kind:
        return f"{kind} `{call}`"
    method = re.match(r"(.*)::(\w+)\(", function)
    used = method and re.search(rf"([\w\[\].]+)\s*(->|\.)\s*{method.group(2)}\s*\(", call)
    if used:  # through a pointer or reference: virtual when its class is a base
        try:
            gdb_frames[-2].select()
            static = str(gdb.parse_and_eval(used.group(1)).type)
        except FAILS:
            static = method.group(1)
        gdb.newest_frame().select()
        if method.group(1) not in static:
            return (f"virtual call: `{method.group(1)}::{method.group(2)}` through a "
                    f"`{static.replace(' *', '*').replace(' &', '&')}`")
    return f"call: `{call}`"


# The run.

def stop_in_project_functions():
    """A breakpoint at every function of the project's sources: `next` then
    stops in each one a line calls, directly or through the library, and
    steps over everything else."""
    points = []
    for source in sorted(Path(TOP).glob("*/*.[ch]*")) + sorted(Path(TOP).glob("tests/*/*.[ch]*")):
        if not project_file(str(source)) or source.suffix not in (".cpp", ".h"):
            continue
        try:  # by its path in the checkout: no spaces
            symtab = gdb.decode_line(f"{source.relative_to(TOP)}:1")[1][0].symtab
        except gdb.error:
            continue  # not in this program
        points += [gdb.Breakpoint(source=symtab.filename, line=symbol.line, internal=True)
                   for block in (symtab.global_block(), symtab.static_block())
                   for symbol in block if symbol.is_function and symbol.line
                   and symbol.symtab.filename == symtab.filename]
    return points


def fault():
    """A read or write of a released block: a finding, and the block opened
    so the run goes on. Any other fault ends the run."""
    start, block = block_of(int(gdb.parse_and_eval("$_siginfo._sifields._sigfault.si_addr")))
    if block is None or block["state"] != "released":
        return f"signal {signal} at {where()[1]}"
    findings.append({"step": len(steps) - 1, "kind": "use after free", "function": where()[0],
                     "block": block["id"], "says": f"{where()[0]} uses block {block['id']} "
                                                   f"after {block['releaser']} released it"})
    gdb.parse_and_eval(f"(int)mprotect({start}, {block['size'] + 4096}, 3)")
    return None


def on_stop(event):
    global signal
    signal = getattr(event, "stop_signal", None)


def trace():
    """Runs to the start (main, or the test's body), steps to its end or a
    cap, runs the rest untraced; returns how the run ended."""
    for setting in ("pagination off", "confirm off", "width 0", "print object on",
                    "breakpoint always-inserted on"):
        gdb.execute(f"set {setting}")
    gdb.execute("handle SIGSEGV stop print nopass")  # noprint would mean nostop
    Recorded("picture_event", internal=True)
    suite, _, case = (TEST or "").partition(".")
    start = f"{suite.split('/')[0]}_{case}_Test::TestBody" if TEST else "main"
    gdb.Breakpoint(start, internal=True)
    gdb.events.stop.connect(on_stop)
    exited = []
    gdb.events.exited.connect(lambda event: exited.append(getattr(event, "exit_code", 0)))
    gdb.execute(f"run {os.environ['PICTURE_RUN']}", to_string=True)
    if exited or not chain():
        return f"exit {exited[0] if exited else '?'} before {start} ran"
    points = stop_in_project_functions()
    gdb.execute("set var picture_recording = 1")
    began, end, command = time.monotonic(), None, None
    while not exited and not end:
        frames = chain()
        if signal in ("SIGSEGV", "SIGBUS"):
            end = fault()
        elif signal == "SIGINT":  # the driver's, at the time cap: a step never ended
            end = f"cut after {SECONDS:g} s"
        elif signal not in (None, "SIGTRAP"):
            end = f"signal {signal} at {where()[1]}"
        elif not frames or (TEST and not any(named(f).startswith("TEST(") for f in frames)):
            gdb.execute("set var picture_recording = 0")  # the rest goes on untraced
            for point in points:
                point.delete()
            gdb.execute("continue", to_string=True)
            break
        if end:
            break
        here = project(gdb.newest_frame())
        if here and not (command == "finish" and steps[-1]["at"] == here  # back
                         and sum(bool(f["at"]) for f in steps[-1]["frames"]) == len(frames)):
            record(steps[-1]["function"] if steps else None)
            if len(steps) >= STEPS or time.monotonic() - began > SECONDS:
                end = (f"cut after {STEPS} steps" if len(steps) >= STEPS
                       else f"cut after {SECONDS:g} s")
                break
        if here:
            command = "next"
        else:  # out of library code straight back to the project's
            frames[-1].newer().select()
            command = "finish"
        try:
            gdb.execute(command, to_string=True)
        except gdb.error:
            gdb.execute("next", to_string=True)
    if not exited:
        gdb.execute("kill")
        return end or f"signal {signal} at {where()[1]}"
    # At the end, a block still live is a leak, unless a variable of static
    # storage still points to it: then it was kept on purpose to the end.
    kept = {part.get("block"): item["name"] for frame in steps[-1]["frames"][:1]
            if frame["function"] == "globals" for item in frame["objects"]
            for part in item.get("fields", [item])} if steps else {}
    for block in blocks.values() if not end else []:
        if block["state"] == "live" and block["shown"]:
            said = (f"block {block['id']} ({block['size']} bytes, allocated at "
                    f"{block['at']}) was never released")
            holder = kept.get(block["id"])
            findings.append({"step": len(steps) - 1, "function": "",
                             "kind": "kept to the end" if holder else "leak",
                             "says": said + (f"; `{holder}` still points to it as the "
                                             "program ends" if holder else "")})
    return end or f"exit {exited[0]}"


END = trace()
with open(os.environ["PICTURE_JSON"], "w") as out:
    json.dump({("test" if TEST else "program"): TEST or os.environ.get("PICTURE_NAME"),
               "steps": steps, "findings": findings, "end": END,
               "sources": {path: "\n".join(lines) for path, lines in sources.items()}}, out)
