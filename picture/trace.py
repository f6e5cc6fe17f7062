"""The tracer of make picture, run inside GDB (gdb -batch -x trace.py): steps
one run of a program, or the body of one unit test, line by line through
the project's own code, and writes the trace (picture/schema.py says its
shape): what memory holds at each step and what went wrong where. Settings
come from the environment: PICTURE_TOP (the checkout), PICTURE_RUN (gdb's
run arguments), PICTURE_OUTPUT and PICTURE_ERRORS (the files standard
output and error go to), PICTURE_TEST (Suite.Name), PICTURE_NAME,
PICTURE_JSON, PICTURE_STEPS, PICTURE_DEADLINE (seconds since 1970),
PICTURE_RECORDS (the drawn test's outcome records).
"""
import codecs
import json
import os
import re
import sys
import time
from pathlib import Path

import gdb

TOP = os.environ["PICTURE_TOP"].rstrip("/") + "/"
sys.path.insert(0, TOP)
from picture import schema  # noqa: E402 (after the checkout is on the path)

TEST = os.environ.get("PICTURE_TEST")
STEPS, DEADLINE = int(os.environ["PICTURE_STEPS"]), float(os.environ["PICTURE_DEADLINE"])
FAILS = (gdb.error, gdb.MemoryError, RuntimeError, TypeError, ValueError, UnicodeError,
         OverflowError)
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
blocks = {}  # start address: the block as the page draws it, and where it came from
findings, steps, sources, calls, notes = [], [], {}, [], []
pieces = schema.Pieces()
signal = None  # of the last stop
dead = []  # objects of frames that have returned: (start, end, name, function)
stack_top = 0  # the newest frame's stack pointer: below it, no frame's object
seen_lines = {}  # frame key: the lines it has been at
pending = []  # copies and destructors running: what to compare once they return


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
    name = frame.function().print_name if frame.function() else (frame.name() or "??")
    test = re.match(r"(?:\(anonymous namespace\)::)?(\w+?)_(\w+)_Test(<.*>)?::TestBody", name)
    return f"TEST({test.group(1)}, {test.group(2)})" if test else name


def key(frame):
    """What tells one call of a function from another: where its frame is,
    and where it returns to (two destructors run one after the other from
    the end of main have one frame address, not one return address)."""
    try:
        older = frame.older()
        return (named(frame), int(frame.read_register("rbp")), older.pc() if older else 0)
    except FAILS:
        return (named(frame), 0, 0)


def member(function):
    """(class, which special member in the lesson's words) of a function, or
    (class, None); (None, None) for a free function."""
    match = re.match(r"(.*)::(~?\w+|operator=)\((.*)\)( const)?$", function)
    if not match:
        return None, None
    cls, name, params = match.group(1), match.group(2), match.group(3)
    short = cls.split("::")[-1].split("<")[0]
    copy = params == f"{cls} const&"
    return cls, {short: "copy constructor" if copy else "constructor",
                 "~" + short: "destructor",
                 "operator=": "copy assignment" if copy else None}.get(name)


def line_of(at):
    path, number = at.rsplit(":", 1)
    if path not in sources:
        sources[path] = Path(TOP, path).read_text(errors="replace").splitlines()
    lines = sources[path]
    return lines[int(number) - 1].strip() if int(number) <= len(lines) else ""


def alive():
    return gdb.selected_inferior().pid != 0


# The blocks, as the recorder's log tells of them.

def logged():
    """Reads the recorder's log, empties it, and takes in each event: the
    kinds are its enum's names."""
    count = int(gdb.parse_and_eval("picture_logged"))
    if not count:
        return
    kind = gdb.lookup_type("PictureRecord")
    raw = bytes(gdb.selected_inferior().read_memory(
        int(gdb.parse_and_eval("picture_log")), count * kind.sizeof))
    gdb.execute("set var picture_logged = 0")
    offsets = {field.name: field.bitpos // 8 for field in kind.fields()}
    names = {int(field.enumval): field.name for field in gdb.lookup_type("PictureEvent").fields()}
    for at in range(0, len(raw), kind.sizeof):
        record = raw[at:at + kind.sizeof]
        word = lambda offset: int.from_bytes(record[offset:offset + 8], "little")
        callers = [word(offsets["callers"] + 8 * i) for i in range(8)]
        heard(names[int.from_bytes(record[:4], "little")], word(offsets["start"]),
              word(offsets["size"]), [c for c in callers if c])


places = {}  # return address: (function, FILE:LINE in the project or None)


def place(pc):
    if pc not in places:
        sal, block = gdb.find_pc_line(pc - 1), gdb.block_for_pc(pc - 1)
        name = sal.symtab.filename if sal.symtab else ""
        function = block.function.print_name if block and block.function else ""
        places[pc] = (function, f"{name[len(TOP):]}:{sal.line}" if project_file(name) else None)
    return places[pc]


def heard(kind, start, size, callers):
    """One event of the log. A block is shown when a line of the project
    asked for it (by new or std::make_unique), not the library for its own
    ends (a string's characters, GoogleTest's records, the tests' support)."""
    block = blocks.get(start)
    frames = [place(pc) for pc in callers]
    asker = next((f for f in frames if not re.match(
        r"operator new|operator delete|std::make_(unique|shared)|\(anonymous", f[0])), ("", None))
    function, at = next(((f, a) for f, a in frames if a), ("??", None))
    if kind == "picture_allocated":
        blocks[start] = {"id": len(blocks) + 1, "size": size, "state": "live",
                         "at": at or "", "shown": bool(asker[1]),
                         "array": bool(at and re.search(r"\bnew\b[^;(]*\[", line_of(at)))}
    elif kind == "picture_released" and block:
        block.update(state="released", releaser=function, released_at=len(steps) - 1)
        array = bool(at and re.search(r"\bdelete\s*\[\s*\]", line_of(at)))
        if block["shown"] and block["at"] and at and block["array"] != array:
            made, wrong = ("new[]", "delete") if block["array"] else ("new", "delete[]")
            found("bad release", f"block {block['id']} came from {made} and {function} "
                                 f"releases it with {wrong}: release with what allocated",
                  block=block["id"], function=function)
    elif kind == "picture_released_again" and block and block["shown"]:
        found("double free", f"block {block['id']} is released a second time, in "
                             f"{function}; {block['releaser']} had released it",
              block=block["id"], function=function)
    elif kind == "picture_bad_release":
        found("bad release", f"{function} releases {what_is(start)}, which no new "
                             "returned: only a block's start, as new gave it, can be released",
              function=function)
    elif kind == "picture_pages_reused" and block:
        block["state"] = "given back"
        if not any(n["says"].startswith("the pages of") for n in notes):
            notes.append({"step": len(steps) - 1, "says": "the pages of the blocks released "
                          "longest ago were given back to the system to make room (too many "
                          "blocks): a later use of one of them is not found"})


def found(kind, says, **more):
    findings.append({"step": max(len(steps) - 1, 0), "kind": kind, "says": says,
                     "function": more.pop("function", None) or where()[0], **more})


def block_of(address):
    """(start, block) of the block address is in, or (None, None)."""
    for start, block in blocks.items():
        if start <= address < start + block["size"]:
            return start, block
    return None, None


def what_is(address):
    """An address in words: a block, the inside of one, or an object."""
    start, block = block_of(address)
    if block:
        return (f"block {block['id']}" if start == address else
                f"an address {address - start} bytes inside block {block['id']}")
    holder = name_of(address, steps[-1], inside=True) if steps else None
    return f"{holder}, an object on the stack" if holder else f"the address {address:#x}"


# Memory as the page draws it.

def shortest(number):
    """A double in its shortest form that reads back exactly (0.1)."""
    text = repr(float(number))
    return text[:-2] if text.endswith(".0") else text


def describe(name, value, seen):
    """An object with its fields, a reference to one, or a plain value."""
    kind = value.type.strip_typedefs().unqualified()
    if kind.code in (gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF) or name == "this":
        target = value.referenced_value() if kind.code != gdb.TYPE_CODE_PTR else value.dereference()
        address = int(target.address)
        if address == 0:
            return {"name": name, "type": type_name(value.type), "state": "not built yet"}
        return {"name": name, "type": type_name(value.type), "refers": hex(address),
                "value": global_name(address) or library(target.type) or "",
                **({"dangling": gone(address)} if gone(address) else {})}
    shown = {"name": name, "type": type_name(value.type), "address": hex(int(value.address or 0)),
             "size": kind.sizeof}
    if kind.code == gdb.TYPE_CODE_STRUCT and not library(kind):
        seen[int(value.address)] = value
        return {**shown, "fields": fields(value, seen)}
    if kind.code == gdb.TYPE_CODE_ARRAY and kind.target().sizeof > 1:  # element by element
        count = min(kind.range()[1] + 1, 16)
        return {**shown, "fields": [field(f"[{i}]", value[i], seen) for i in range(count)]}
    return {**shown, **field(name, value, seen)}


def type_name(kind):
    """A type as the lesson writes it: std::unique_ptr<char []>, not with
    its deleter; std::string, std::ostream."""
    plain = kind.strip_typedefs().unqualified()
    try:
        if re.match(r"std::(unique|shared)_ptr<", str(plain)):
            return f"{str(plain).split('<')[0]}<{plain.template_argument(0)}>"
    except FAILS:
        pass
    known = library(plain) if plain.code == gdb.TYPE_CODE_STRUCT else None
    return known if known and "…" not in known else str(kind)


def global_name(address):
    """The name of a variable of static storage at address (std::cout), or
    None."""
    try:
        said = gdb.execute(f"info symbol {address}", to_string=True)
    except FAILS:
        return None
    found = re.match(r"([\w:]+)( \+ \d+)? in section", said)
    return found.group(1) if found else None


def library(kind):
    """A library type's name as the lesson calls it, or None for the
    project's own."""
    name = str(kind.strip_typedefs().unqualified())
    if not name.startswith("std::"):
        return None
    for plain, shown in (("std::basic_ostream<char", "std::ostream"),
                         ("std::basic_istream<char", "std::istream"),
                         ("std::__cxx11::basic_string<char", "std::string")):
        if name.startswith(plain):
            return shown
    return re.sub(r"<.*", "<…>", name)


def fields(value, seen):
    """An object's fields, each base class's as a part of its own first."""
    found = []
    for part in value.type.strip_typedefs().fields():
        if part.is_base_class:
            found.append({"base": str(part.type), "fields": fields(value[part], seen)})
        elif not part.artificial and hasattr(part, "bitpos") and not part.name.startswith("_vptr"):
            found.append(field(part.name, value[part], seen))
    return found


def field(name, value, seen):
    """A field or plain local: its value, and the block it points into."""
    kind = value.type.strip_typedefs().unqualified()
    shown, address, pointer = {"name": name}, None, value
    try:
        if kind.code in (gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF):
            target = int(value.referenced_value().address)
            return {**shown, "refers": hex(target), "value": global_name(target)
                    or library(kind.target()) or ""}
        if kind.code == gdb.TYPE_CODE_ARRAY and kind.target().sizeof == 1:
            return {**shown, "value": '"' + value.string(errors="replace", length=-1)
                    .split("\0")[0][:40] + '"'}
        if kind.code == gdb.TYPE_CODE_FLT:
            return {**shown, "value": shortest(value)}
        if kind.code == gdb.TYPE_CODE_PTR:
            address = int(value)
            shown["value"] = "nullptr" if address == 0 else hex(address)
        elif library(kind) == "std::string":
            return {**shown, "value": value.format_string()[:60]}
        elif re.match(r"std::(unique|shared)_ptr<", str(kind)):
            raw = gdb.Value(int(value.address)).cast(
                kind.template_argument(0).pointer().pointer()).dereference() \
                if "unique" in str(kind) else value["_M_ptr"]
            address, pointer = int(raw), raw
            shown["value"] = "nullptr" if address == 0 else hex(address)
        elif library(kind) and kind.code != gdb.TYPE_CODE_ENUM:
            return {**shown, "value": library(kind)}
        else:
            shown["value"] = value.format_string(raw=True)[:60]
    except FAILS:
        return {**shown, "value": "?"}
    start, block = block_of(address) if address else (None, None)
    if block:
        shown["block"] = block["id"]
        block["shown"] = True
        target = pointer.type.strip_typedefs().target()
        if address != start and target.sizeof:
            shown["element"] = (address - start) // target.sizeof
        if address == start:
            contents(block, pointer, seen)
    elif gone(address):
        shown["dangling"] = gone(address)
    return shown


def gone(address):
    """The object of a returned frame that address is in, in words, or None:
    below the newest frame's stack pointer no frame's object lives now."""
    if not address or address >= stack_top:
        return None
    dead_object = next((d for d in dead[::-1] if d[0] <= address < d[1]), None)
    return dead_object and f"`{dead_object[2]}` of {dead_object[3]}"


def contents(block, pointer, seen):
    """What a block holds, as the pointer at its start says: an object (of
    its dynamic type), elements or text."""
    target = pointer.type.strip_typedefs().target().strip_typedefs()
    try:
        if target.code == gdb.TYPE_CODE_STRUCT and not library(target):
            item = pointer.dereference()
            item = item.cast(item.dynamic_type)
            if int(item.address) not in seen:
                seen[int(item.address)] = item
                block["object"] = {"type": str(item.type), "fields": fields(item, seen)}
        elif target.code in (gdb.TYPE_CODE_FLT, gdb.TYPE_CODE_INT) and target.sizeof > 1:
            count = min(block["size"] // target.sizeof, 64)
            block["shown_elements"] = block["elements"] = [{"index": i, "value": shortest(pointer[i]) if target.code
                                  == gdb.TYPE_CODE_FLT else str(int(pointer[i]))}
                                 for i in range(count)]
    except FAILS:
        pass


def variables(frame, newest, building):
    """The frame's arguments and locals in scope, in declaration order, each
    with whether it is built yet: a local is not before its declaration has
    run (a loop's counter is, once its loop came round), but in a caller the
    one a constructor running now builds (its address in building) is."""
    found, scope, line = [], frame.block(), frame.find_sal().line
    again = line in seen_lines.get(key(frame), set())

    def built(symbol):
        if symbol.is_argument or symbol.line < line or (symbol.line == line and newest and again):
            return True
        try:
            return not newest and symbol.line == line and \
                int(symbol.value(frame).address) in building
        except FAILS:
            return False

    while scope is not None and not scope.is_static:  # innermost scope first
        found = [(symbol, built(symbol))
                 for symbol in scope if (symbol.is_variable or symbol.is_argument)
                 and not symbol.name.startswith(("__", "gtest"))  # GoogleTest's own
                 and not (symbol.name == "this" and named(frame).startswith("TEST("))] + found
        scope = None if scope.function else scope.superblock
    return sorted(found, key=lambda item: (not item[0].is_argument, item[0].line))


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


def touched(frame, built):
    """Elements of blocks the frame's line subscripts with a plain index
    (p[i], this->ptr[3]): evaluated only when nothing can run by it, and
    only an index that is built."""
    marks = {}
    for base, index in re.findall(r"((?:this->)?\w+)\s*\[\s*(\w+)\s*\]",
                                  line_of(project(frame))):
        if not index.isdigit() and index not in built:
            continue
        try:  # the newest frame is the selected one
            pointer = int(gdb.parse_and_eval(base))
            number = int(index) if index.isdigit() else int(gdb.parse_and_eval(index))
            start, block = block_of(pointer)
            if block and "elements" in block:
                size = block["size"] // max(len(block["elements"]), 1)
                marks.setdefault(block["id"], []).append((pointer - start) // size + number)
        except FAILS:
            pass
    return marks


# One step.

def record():
    """The step now: its frames and blocks, what it runs, and the findings
    that show in memory (a shared block, a dangling pointer, a copy that
    differs from its source)."""
    global stack_top
    logged()
    gdb_frames, seen, frames = chain(), {}, []
    stack_top = int(gdb.parse_and_eval("$sp"))
    keys = {key(frame) for frame in gdb_frames}
    for frame in steps[-1]["frames"] if steps else []:  # returned: its objects are gone
        if frame.get("key") and frame["key"] not in keys:
            dead.extend((int(item["address"], 16), int(item["address"], 16) + item.get("size", 1),
                         item["name"], frame["function"])
                        for item in frame["objects"] if "address" in item)
    for start, block in blocks.items():  # text, unless a pointer says otherwise
        block.pop("elements", None)
        if block["shown"] and block["state"] == "live" and "object" not in block:
            raw = bytes(gdb.selected_inferior().read_memory(start, min(block["size"], 60)))
            block["text"] = raw.split(b"\0")[0].decode(errors="replace")
    building = set()  # the objects constructors running now build
    for frame in gdb_frames:
        if "constructor" in (member(named(frame))[1] or ""):
            try:
                building.add(int(frame.read_var("this")))
            except FAILS:
                pass
    for frame in gdb_frames:
        shown = []
        for symbol, built in variables(frame, frame == gdb_frames[-1], building):
            try:
                value = symbol.value(frame)
                shown.append(describe(symbol.name, value, seen) if built else {
                    "name": symbol.name, "type": type_name(value.type), "state": "not built yet",
                    "address": hex(int(value.address or 0))})
            except FAILS:
                pass
        frames.append({"function": named(frame), "at": project(frame), "objects": shown,
                       "key": key(frame)})
        line_of(frames[-1]["at"])  # the page shows every frame's source
        seen_lines.setdefault(key(frame), set()).add(frame.find_sal().line)
    globals_ = statics(gdb_frames[0], seen)
    marks = touched(gdb_frames[-1], {o["name"] for o in frames[-1]["objects"] if "state" not in o})
    before = steps[-1] if steps else None
    returned(before, frames)
    step = {"at": frames[-1]["at"], "function": frames[-1]["function"],
            "says": says(frames, gdb_frames, before),
            "out": os.path.getsize(os.environ["PICTURE_OUTPUT"]),
            "err": os.path.getsize(os.environ["PICTURE_ERRORS"]),
            "frames": ([{"function": "globals", "at": None, "objects": globals_}]
                       if globals_ else []) + frames,
            "blocks": [{"address": hex(start), **{k: v for k, v in b.items() if k in (
                "id", "size", "state", "text", "object", "at", "array", "elements")},
                        **({"touched": marks[b["id"]]} if b["id"] in marks else {})}
                       for start, b in blocks.items() if b["shown"]]}
    steps.append(step)
    shared(step)
    dangling(step)
    entered(step, gdb_frames)
    return step


def shared(step):
    """A live block that fields of two objects point into, found the first time."""
    objects = {o["address"]: (f"`{o['name']}`", o["fields"]) for f in step["frames"]
               for o in f["objects"] if "fields" in o}
    objects.update({b["address"]: (f"the `{b['object']['type']}` on the heap (block {b['id']})",
                                   b["object"]["fields"]) for b in step["blocks"] if "object" in b})
    holders = {}
    for address, (_, parts) in objects.items():
        for part in flat(parts):
            holders.setdefault(part.get("block"), set()).add(address)
    last = steps[-2]["function"] if len(steps) > 1 else "??"
    for block in {b["id"] for b in blocks.values() if b["state"] == "live"} & set(holders):
        if len(holders[block]) > 1 and not any(f.get("block") == block and f["kind"] ==
                                               "shared block" for f in findings):
            held = " and ".join(objects[h][0] for h in sorted(holders[block]))
            findings.append({"step": len(steps) - 1, "kind": "shared block", "block": block,
                             "function": last,
                             "says": f"{held} hold one block, block {block}, where each "
                                     f"should own a block of its own: {last} made them share it"})


def flat(parts):
    """Fields with their base parts' fields."""
    for part in parts:
        yield from flat(part["fields"]) if "base" in part else [part]


def dangling(step):
    """A pointer or reference into an object whose frame has returned, found
    the first step the line that runs uses it."""
    frame = step["frames"][-1]
    line = line_of(frame["at"])
    for item in frame["objects"]:
        for part in flat(item.get("fields", [item])):
            gone = part.get("dangling")
            if gone and re.search(rf"\b{re.escape(item['name'])}\b", line) and not any(
                    f["kind"] == "dangling" and f.get("holder") == item["name"] for f in findings):
                findings.append({
                    "step": len(steps) - 1, "kind": "dangling", "holder": item["name"],
                    "function": frame["function"],
                    "says": f"`{item['name']}` {'refers to' if 'refers' in part else 'points to'} "
                            f"{gone}, whose frame has returned: that object is gone, and "
                            f"`{line}` uses what is left in its place"})


# Copies and destructors: what they did, seen once they return.

def entered(step, gdb_frames):
    """At the first step in a copy or destructor of a project class: what it
    works on, for the page's question and the checks on its return."""
    frame = step["frames"][-1]
    if len(step["frames"]) > 1 and steps[-2:-1] and any(
            f.get("key") == frame["key"] for f in steps[-2]["frames"]):
        return  # not its first step
    cls, kind = member(frame["function"])
    if kind not in ("copy constructor", "copy assignment", "destructor") or not cls:
        return
    objects = {o["name"]: o for o in frame["objects"]}
    this = int(objects.get("this", {}).get("refers", "0x0"), 16)
    source = next((int(o["refers"], 16) for n, o in objects.items()
                   if n != "this" and "refers" in o), None)
    copy = step["says"].startswith("copy constructor: the copy of")
    call = {"step": len(steps) - 1, "kind": kind, "class": cls, "this": this,
            "object": name_of(this, step) or out_of_scope(gdb_frames[-2], this) or (
                step["says"].split(": ", 1)[1] if copy else f"the `{cls}`"),
            "key": frame["key"],  # a copy being built holds nothing yet
            "blocks": live_blocks(this, cls) if kind != "copy constructor" else {}}
    if source is not None:
        call["source"], call["from"] = source, name_of(source, step) or "its source"
        dynamic = value_at(source, cls)
        if dynamic is not None and str(dynamic.dynamic_type) != cls and not base_part(
                this, step["frames"]):
            left = [f["name"] for f in flat(fields(dynamic.cast(dynamic.dynamic_type), {}))
                    if f["name"] not in {g["name"] for g in flat(fields(dynamic, {}))}]
            findings.append({
                "step": len(steps) - 1, "kind": "sliced", "function": frame["function"],
                "says": f"{call['object']} is {a(cls)} {'built' if 'constructor' in kind else 'assigned'}"
                        f" from {call['from']}, {a(str(dynamic.dynamic_type))}: only its `{cls}` "
                        f"part is copied; {', '.join(f'`{n}`' for n in left)} "
                        f"{'is' if len(left) == 1 else 'are'} left behind"})
    pending.append(call)


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


def value_at(address, cls):
    try:
        return gdb.Value(address).cast(gdb.lookup_type(cls).pointer()).dereference()
    except FAILS:
        return None


def live_blocks(address, cls):
    """The ids of the live blocks the object's pointer fields point to."""
    value = value_at(address, cls)
    if value is None:
        return {}
    found = {}
    for part in flat(fields(value, {})):
        if "block" in part and blocks_by_id().get(part["block"], {}).get("state") == "live":
            found[part["name"]] = part["block"]
    return found


def blocks_by_id():
    return {b["id"]: b for b in blocks.values()}


def returned(before, frames):
    """For each copy or destructor whose frame is gone: what it did, and a
    finding when a copy's field differs from its source's."""
    keys = {f["key"] for f in frames}
    for call in [c for c in pending if c["key"] not in keys]:
        pending.remove(call)
        after = live_blocks(call["this"], call["class"]) if call["kind"] != "destructor" and \
            alive() else {}
        done = {"step": call["step"], "returns": len(steps), "kind": call["kind"],
                "class": call["class"], "object": call["object"], "blocks": after,
                "before": call["blocks"],
                "released": [b["id"] for b in blocks.values() if b["state"] == "released"
                             and b.get("released_at", len(steps)) >= call["step"]]}
        calls.append(done)
        if call["kind"] != "destructor" and "source" in call and call["source"] != call["this"]:
            differs(call)


def differs(call):
    """A field of the copy that differs from its source's: a block by what
    it holds, anything else by its value."""
    copy, source = value_at(call["this"], call["class"]), value_at(call["source"], call["class"])
    if copy is None or source is None:
        return
    mine, theirs = flat(fields(copy, {})), flat(fields(source, {}))
    for a, b in zip(mine, theirs):
        left, right = held(a), held(b)
        if left != right:
            findings.append({
                "step": len(steps), "kind": "copy differs", "function": call["class"],
                "says": f"after the {call['kind']}, `{call['object'].strip('`')}.{a['name']}` is "
                        f"{left} where `{call['from'].strip('`')}.{b['name']}` is {right}: a copy "
                        "copies every member (C.61)"})


def held(part):
    """A field's value for comparing copies: a block's contents, not where."""
    if "block" in part:
        block = blocks_by_id()[part["block"]]
        if "elements" in block:
            return " ".join(e["value"] for e in block["elements"])
        return f'"{block.get("text", "")}"' if "text" in block else f"block {part['block']}"
    return part.get("value")


# What a step runs, in the lesson's words.

def says(frames, gdb_frames, before):
    """The line, or the call that brought the run into this function."""
    function = frames[-1]["function"]
    if len(frames) < 2 or not before or any(
            f.get("key") == frames[-1]["key"] for f in before["frames"]):
        return f"`{line_of(frames[-1]['at'])}`"
    call = line_of(frames[-2]["at"]).rstrip(";,{ ").lstrip(": ")
    cls, kind = member(function)
    this = next((int(o["refers"], 16) for o in frames[-1]["objects"] if o["name"] == "this" and "refers" in o), 0)
    if kind in ("constructor", "copy constructor", "destructor"):
        return built(kind, cls, this, frames, call, gdb_frames)
    if kind:
        return f"{kind} `{call}`"
    method = re.match(r"(.*)::(\w+)\(", function)
    used = method and re.search(rf"([\w\[\].]+)\s*(->|\.)\s*{method.group(2)}\s*\(", call)
    if used and virtual(method.group(1), method.group(2)):
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


def virtual(cls, method):
    try:
        return str(gdb.parse_and_eval(f"&{cls}::{method}")).startswith("&virtual")
    except FAILS:
        return False  # overloaded, or unknown: not said


def built(kind, cls, this, frames, call, gdb_frames):
    """Which object a constructor builds or a destructor ends: a base part
    of one, a named one, an exception object, a by-value parameter's copy."""
    if base_part(this, frames):
        outer = member(frames[-2]["function"])[0]
        whole = (name_of(this, {"frames": frames[:-2]})
                 or (len(gdb_frames) > 2 and out_of_scope(gdb_frames[-3], this))
                 or (f"the exception object `{outer}`" if len(frames) > 2 and re.search(
                     r"\bthrow\b", line_of(frames[-3]["at"])) else a(outer)))
        entry = re.search(rf"\b{re.escape(cls.split('::')[-1])}\s*\([^()]*\)", call)
        return (f"{kind} of the `{cls}` part of {whole}"
                + (f": `{entry.group()}`" if entry and kind != "destructor" else ""))
    name = name_of(this, {"frames": frames[:-1]}) or out_of_scope(gdb_frames[-2], this)
    if name:
        return f"{kind} of {name}"
    if re.search(r"\bthrow\b", call):
        return f"{kind} of the exception object `{cls}` that `throw` builds"
    source = next((int(o["refers"], 16) for o in frames[-1]["objects"]
                   if o["name"] != "this" and "refers" in o), None)
    copied = name_of(source, {"frames": frames[:-1]}) if source else None
    callee = copied and re.search(rf"(\w+)\s*\([^()]*\b{re.escape(copied.strip('`'))}\b", call)
    if kind == "copy constructor" and callee:
        return f"copy constructor: the copy of {copied} for `{callee.group(1)}`"
    return f"{kind} of {a(cls)}" + (f" (`{call}`)" if kind != "destructor" else "")


def a(cls):
    return f"{'an' if cls[0] in 'AEIOU' else 'a'} `{cls}`"


def out_of_scope(frame, address):
    """The name of a local of the frame's function at address, in scope or
    not (a try block's object, destroyed as its exception leaves it)."""
    try:
        symtab, found = frame.find_sal().symtab, set()
        start, end = frame.function().value().address, frame.block().end
        for item in symtab.linetable():
            if int(start) <= item.pc < end:
                scope = gdb.block_for_pc(item.pc)
                while scope is not None and not scope.is_global and not scope.is_static:
                    found.update(symbol for symbol in scope if symbol.is_variable)
                    scope = scope.superblock
        return next((f"`{symbol.name}`" for symbol in found
                     if int(symbol.value(frame).address) == address), None)
    except FAILS:
        return None


def base_part(this, frames):
    """Whether the newest frame works on the base part of the object its
    caller, a constructor, assignment or destructor, works on."""
    caller_kind = member(frames[-2]["function"])[1] if len(frames) > 1 else None
    caller_this = next((int(o["refers"], 16) for o in frames[-2]["objects"]
                        if o["name"] == "this" and "refers" in o), None) if caller_kind else None
    return caller_this == this and member(frames[-2]["function"])[0] != member(
        frames[-1]["function"])[0]


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


lined = {}  # a function run's start: the breakpoints where its lines begin


def stop_at_lines(frame):
    """Breakpoints where the code of each line of the frame's function
    begins, the first time it runs: the run then goes from line to line at
    full speed, stopping where `next` would stop (a loop's header on each
    pass, not a loop on one line at each turn)."""
    try:
        scope, symtab = gdb.block_for_pc(frame.pc()), frame.find_sal().symtab
        while scope.function is None:
            scope = scope.superblock
        if scope.start in lined:
            return
        entries = sorted((e.pc, e.line) for e in symtab.linetable()
                         if scope.start <= e.pc < scope.end and e.line)
    except FAILS:
        return
    lined[scope.start] = []
    for (pc, line), (_, before) in zip(entries, [(0, None)] + entries):
        if line != before and pc != scope.start:  # not before the frame is set up
            lined[scope.start].append(gdb.Breakpoint(f"*{pc}", internal=True))


def fault():
    """A read or write of a released block or past a block's end: a finding;
    the recorder opens the page, so the run goes on. Any other fault ends
    the run."""
    address = int(gdb.parse_and_eval("$_siginfo._sifields._sigfault.si_addr"))
    logged()
    start, block = block_of(address)
    past = min(((address - s - b["size"], s, b) for s, b in blocks.items()
                if b["state"] == "live" and 0 <= address - s - b["size"] < 4096
                and b["size"] + (address - s - b["size"]) >= 0),
               default=None, key=lambda t: t[0])
    how, inside = access(address), library_call()
    if block and block["state"] == "released":
        if not any(f["kind"] == "use after free" and f.get("block") == block["id"] for f in findings):
            found("use after free", f"{where()[0]} {how} block {block['id']}{inside} after "
                                    f"{block['releaser']} released it", block=block["id"])
    elif past:
        over, start, block = past
        count = len(block.get("shown_elements", []))
        what = (f"[{count + over // (block['size'] // count)}], past the end of block {block['id']} "
                f"([0] to [{count - 1}]" if count else
                f"{'the first byte' if over == 0 else f'{over + 1} bytes'} past the end of block "
                f"{block['id']} ({block['size']} bytes")
        if not any(f["kind"] == "past the end" and f.get("block") == block["id"] for f in findings):
            found("past the end", f"{where()[0]} {how} {what}, allocated at {block['at']})"
                                  f"{inside}", block=block["id"])
    else:
        return f"signal {signal} at {where()[1]}"
    return None


def access(address):
    """Whether the instruction that stopped reads or writes memory."""
    try:
        text = gdb.execute("x/i $pc", to_string=True).split(":", 1)[1].split("#")[0].strip()
        mnemonic, _, operands = text.partition(" ")
        if mnemonic.startswith("rep") or "%es:" in operands:  # a string instruction
            rdi, rsi = (int(gdb.parse_and_eval(r)) for r in ("$rdi", "$rsi"))
            return "writes" if "stos" in mnemonic or abs(address - rdi) < abs(address - rsi) else "reads"
        parts = re.sub(r"\([^)]*\)", "(m)", operands).split(",")  # AT&T: source first
        reading = re.match(r"v?(cmp|test|ucomi|comi|pcmp|bt)", mnemonic)
        return "writes" if len(parts) > 1 and "(" in parts[-1] and not reading else "reads"
    except FAILS:
        return "uses"


def library_call():
    """ ", in a call of strcpy" when the stop is in library code."""
    name = gdb.newest_frame().name() or ""
    if project(gdb.newest_frame()) or not name:
        return ""
    plain = re.sub(r"^_+|_(avx|sse|evex|erms|unaligned)\w*$", "", name)
    return f", in a call of {plain}"


def on_stop(event):
    global signal, exiting
    signal = getattr(event, "stop_signal", None)
    exiting = any(point.type == gdb.BP_CATCHPOINT for point in getattr(event, "breakpoints", []))


exiting = False  # the last stop was the program's exit, about to happen


def run_out(exited):
    """Runs the rest untraced, reading the log as the program exits. Returns
    None when it exited, or how it ended otherwise."""
    while not exited:
        gdb.execute("continue", to_string=True)
        if exiting:
            logged()
        elif not exited:  # stopped after the traced part: a crash in a fixture, say
            return f"signal {signal} after the traced part, in {where()[0]}"
    return None


def trace():
    """Runs to the start (main, or the test's body), steps to its end or a
    cap, runs the rest untraced; returns how the run ended."""
    for setting in ("pagination off", "confirm off", "width 0", "print object on",
                    "breakpoint always-inserted on"):
        gdb.execute(f"set {setting}")
    # Seen first here, then passed on: the recorder opens a block's page.
    gdb.execute("handle SIGSEGV stop print pass")  # noprint would mean nostop
    gdb.execute("catch syscall exit_group")  # to read the log before the end
    suite, _, case = (TEST or "").partition(".")
    start = f"{suite.split('/')[0]}_{case}_Test::TestBody" if TEST else "main"
    gdb.Breakpoint(start, internal=True)
    gdb.events.stop.connect(on_stop)
    exited = []
    gdb.events.exited.connect(lambda event: exited.append(getattr(event, "exit_code", None)))
    gdb.execute(f"run {os.environ['PICTURE_RUN']}", to_string=True)
    if exited or not chain():
        return f"exit {exited[0]} before {start} ran" if exited else f"{start} never ran"
    points = stop_in_project_functions()
    gdb.execute("set var picture_recording = 1")
    end = None
    while not exited and not end:
        frames = chain()
        if exiting:  # during a step: exit() from the project's code, say
            logged()
            end = run_out(exited)
            break
        if signal == "SIGSEGV":
            end = fault()
        elif signal == "SIGINT":  # the driver's, at the time cap: a step never ended
            end = f"cut at the time limit in {where()[1]}"
        elif signal not in (None, "SIGTRAP"):
            end = f"signal {signal} at {where()[1]}"
        elif not frames or (TEST and not any(named(f).startswith("TEST(") for f in frames)):
            gdb.execute("set var picture_recording = 0")  # the rest goes on untraced
            for point in points + sum(lined.values(), []):
                point.delete()
            end = run_out(exited)
            break
        if end:
            break
        if project(gdb.newest_frame()) and signal != "SIGSEGV":
            record()
            stop_at_lines(gdb.newest_frame())
            if len(steps) >= STEPS or time.time() > DEADLINE:
                end = (f"cut after {STEPS} steps" if len(steps) >= STEPS
                       else f"cut at the time limit after {len(steps)} steps")
                break
        gdb.execute("continue", to_string=True)
    if not exited:
        gdb.execute("kill")
        return end or f"signal {signal} at {where()[1]}"
    if end:
        return end
    status = f"exit {exited[0]}" if exited[0] is not None else "exit 0"
    if steps:
        finale(status)
        leaks(steps[-2])
    return status


def finale(status):
    """A last step, after the program has ended: the blocks as it left them,
    and every copy and destructor still running (the last ones) returned."""
    last = steps[-1]
    returned(last, [])
    steps.append({**last, "function": "", "says": f"the program has ended: {status}",
                  "out": os.path.getsize(os.environ["PICTURE_OUTPUT"]),
                  "err": os.path.getsize(os.environ["PICTURE_ERRORS"]), "frames": [],
                  "blocks": [{"address": hex(start), **{k: v for k, v in b.items() if k in (
                      "id", "size", "state", "text", "object", "at", "array", "elements")}}
                             for start, b in blocks.items() if b["shown"]]})


def leaks(last):
    """At the end, a block still live is a leak, unless a variable of static
    storage still points to it at the last step: then it was kept on purpose
    to the end."""
    kept = {part.get("block"): item["name"] for frame in last["frames"][:1]
            if frame["function"] == "globals" for item in frame["objects"]
            for part in flat(item.get("fields", [item]))}
    for block in blocks.values():
        if block["state"] == "live" and block["shown"]:
            said = (f"block {block['id']} ({block['size']} bytes, allocated at "
                    f"{block['at']}) was never released")
            holder = kept.get(block["id"])
            findings.append({"step": len(steps) - 1, "function": "",
                             "kind": "kept to the end" if holder else "leak",
                             "says": said + (f"; `{holder}` still points to it as the "
                                             "program ends" if holder else "")})


def ended(end):
    """What the end means, in the lesson's words."""
    found_signal = re.search(r"signal (\w+)", end)
    if found_signal:
        errors = Path(os.environ["PICTURE_ERRORS"]).read_text(errors="replace").strip()
        said = " ".join(line.strip() for line in errors.splitlines()[:2])
        return MEANING.get(found_signal.group(1), "the program was stopped by a signal") + (
            f": {said}" if said and found_signal.group(1) == "SIGABRT" else "")
    if TEST and end == "exit 1":
        return "the test failed: its failed expectations are listed with the findings"
    if "time limit" in end:
        return "the run was cut at its time limit (SECONDS=): a loop that never ends, or a long run"
    if end.startswith("cut after"):
        return "the run was cut at its step limit (STEPS=)"
    return ""


def failures():
    """A drawn test's failed expectations, each at the step that ran it."""
    path = Path(os.environ.get("PICTURE_RECORDS", "/-"))
    output = Path(os.environ["PICTURE_OUTPUT"]).read_text(errors="replace")
    found = []
    for line in path.read_text().splitlines() if path.is_file() else []:
        for failure in json.loads(line)["failures"]:
            at = output.find(f"  {failure['at']}:")
            step = next((n - 1 for n, s in enumerate(steps) if s["out"] > at), len(steps) - 1)
            found.append({**failure, "step": max(step, 0)})
    return found


def text(name):
    """A file's text, and each step's count of its bytes as characters."""
    raw = Path(os.environ[name]).read_bytes()
    decoder, done, counted = codecs.getincrementaldecoder("utf-8")("replace"), 0, 0
    field = {"PICTURE_OUTPUT": "out", "PICTURE_ERRORS": "err"}[name]
    for step in steps:
        counted += len(decoder.decode(raw[done:step[field]]))
        done, step[field] = step[field], counted
    return raw.decode(errors="replace")


def written(end):
    """The trace, its steps' objects and blocks kept once each."""
    output, errors = text("PICTURE_OUTPUT"), text("PICTURE_ERRORS")
    for step in steps:
        step["frames"] = [{"function": f["function"], "at": f["at"],
                           "objects": [pieces(o) for o in f["objects"]]} for f in step["frames"]]
        step["blocks"] = [pieces(b) for b in step["blocks"]]
    return {("test" if TEST else "program"): TEST or os.environ.get("PICTURE_NAME"),
            "end": end, "why": ended(end), "output": output, "errors": errors,
            "findings": findings, "failures": failures(), "notes": notes,
            "calls": calls,
            "pieces": pieces.pieces, "steps": steps,
            "sources": {path: "\n".join(lines) for path, lines in sources.items()}}


def main():
    try:
        end = trace()
    except Exception as error:  # noqa: whatever it is, the page shows the run up to here
        end = f"the tracer could not follow the run: {type(error).__name__} {error}"
        if alive():
            gdb.execute("kill")
    except KeyboardInterrupt:
        end = "cut at the time limit"
    data = written(end)
    partial = os.environ["PICTURE_JSON"] + ".part"
    with open(partial, "w") as out:
        json.dump(data, out)
    os.replace(partial, os.environ["PICTURE_JSON"])


main()
