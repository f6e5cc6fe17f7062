"""Values as GDB reads them, for the observer: a variable or field as it is
(an object with its fields, a reference, a pointer with what it points
to, a plain value), and what the recorder's blocks hold. Runs inside GDB.
"""
import itertools
import re
from bisect import bisect_right

import gdb


class Unknown(Exception):
    """A layout this picture does not know, refused rather than read by guess."""


# What reading a value may meet: memory that cannot be read, an expression
# GDB cannot evaluate (both gdb.error), a layout it does not know. Anything
# else is a bug of the picture's, and the step's part shows its traceback.
FAILS = (gdb.error, Unknown)


class Memory:
    """The recorder's blocks, by start, and the reading of values."""

    def __init__(self):
        self.starts, self.sizes = [], {}
        self.kept = {}  # (address, type, is this): a value's bytes there, and how it read
        self.own_bytes = {}  # type: whether its values read from their own bytes alone
        self.places = Places()

    def allocated(self, start, size):
        self.sizes[start] = size
        self.starts.insert(bisect_right(self.starts, start), start)

    def block_at(self, address):
        """The start of the recorded block address is in, or None."""
        index = bisect_right(self.starts, address) - 1
        start = self.starts[index] if index >= 0 else None
        return start if start is not None and address < start + self.sizes[start] else None

    # Values as they are.

    def value(self, name, value, depth=0):
        """A variable or field: an object with its fields, a reference, a
        pointer, or a plain value; what cannot be read says why. A value
        read from its own bytes alone reads as before while they are the
        same: most of a step's values are as they were."""
        try:
            kind = value.type
            if depth == 0 and value.address is not None and self.of_own_bytes(kind):
                address = int(value.address)
                item = self.unchanged(name, address, kind, str(kind))
                if item is None:
                    item = self.read(name, value, depth)
                    self.kept[address, str(kind), name == "this"] = (
                        bytes(gdb.selected_inferior().read_memory(address, kind.sizeof)), item)
                return item
        except FAILS:  # its bytes cannot be read to compare: it is read afresh
            return self.read(name, value, depth)
        return self.read(name, value, depth)

    def unchanged(self, name, address, kind, kind_name):
        """The value of the type at address as it read before, when it
        reads from its own bytes and they are as they were; else None.
        `this` reads as a reference, so it is kept apart."""
        kept = self.kept.get((address, kind_name, name == "this"))
        if not kept or not self.of_own_bytes(kind):
            return None
        try:
            now = bytes(gdb.selected_inferior().read_memory(address, len(kept[0])))
        except FAILS:
            return None
        return {**kept[1], "name": name} if now == kept[0] else None

    def of_own_bytes(self, kind):
        """Whether a value of the type reads from its own bytes alone: not a
        string or a container, whose printer follows pointers; a library
        class without one is drawn by its name, a reference by its
        address, a stream buffer by its put area."""
        name = str(kind)
        if name not in self.own_bytes:
            plain = kind.strip_typedefs().unqualified()
            if plain.code == gdb.TYPE_CODE_ARRAY:
                self.own_bytes[name] = self.of_own_bytes(plain.target())
            elif plain.code == gdb.TYPE_CODE_STRUCT and not library(plain):
                self.own_bytes[name] = all(
                    self.of_own_bytes(part.type) for part in plain.fields()
                    if hasattr(part, "bitpos") and not part.name.startswith("_vptr"))
            elif plain.code == gdb.TYPE_CODE_STRUCT:
                printer = gdb.default_visualizer(gdb.Value(bytes(plain.sizeof), plain))
                self.own_bytes[name] = library(plain) in ("std::ostream", "std::istream") or (
                    library(plain) != "std::string" and not hasattr(printer, "children")
                    and not re.match(r"std::(unique|shared)_ptr<", str(plain)))
            else:
                self.own_bytes[name] = plain.code in (
                    gdb.TYPE_CODE_INT, gdb.TYPE_CODE_FLT, gdb.TYPE_CODE_BOOL,
                    gdb.TYPE_CODE_CHAR, gdb.TYPE_CODE_ENUM, gdb.TYPE_CODE_PTR,
                    gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF)
        return self.own_bytes[name]

    def read(self, name, value, depth):
        shown = {"name": name, "type": type_name(value.type)}
        try:
            kind = value.type.strip_typedefs().unqualified()
            if kind.code in (gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF) or name == "this":
                target = value.dereference() if kind.code == gdb.TYPE_CODE_PTR \
                    else value.referenced_value()
                address = int(target.address)
                return {**shown, "refers": address, "global": self.places.global_name(address),
                        "library": library(target.type)}
            if value.address is not None:
                shown.update(address=int(value.address), size=kind.sizeof)
            if kind.code == gdb.TYPE_CODE_STRUCT and not library(kind):
                return {**shown, "fields": self.fields(value, depth)}
            if kind.code == gdb.TYPE_CODE_STRUCT and depth < 3:
                held = self.held(value, kind, depth)
                if held is not None:
                    return {**shown, "fields": held}
            if kind.code == gdb.TYPE_CODE_ARRAY and kind.target().sizeof > 1:
                count = min(kind.range()[1] + 1, 16)
                return {**shown, "fields": [self.value(f"[{i}]", value[i], depth + 1)
                                            for i in range(count)]}
            return {**shown, **self.plain(value, kind)}
        except FAILS as error:
            return {**shown, "unreadable": f"{type(error).__name__}: {error}"}

    def plain(self, value, kind):
        if kind.code == gdb.TYPE_CODE_ARRAY:  # of char
            return {"value": '"' + value.string(errors="replace", length=-1)
                    .split("\0")[0][:40] + '"'}
        if kind.code == gdb.TYPE_CODE_FLT:
            return {"value": shortest(value)}
        if kind.code == gdb.TYPE_CODE_PTR:
            return {"pointer": int(value), "target": target_of(kind)}
        if library(kind) == "std::string":
            return {"value": value.format_string()[:60]}
        if re.match(r"std::(unique|shared)_ptr<", str(kind)):
            printer = gdb.default_visualizer(value)  # the library's own printer
            if printer is None or not hasattr(printer, "children"):
                raise Unknown(f"no printer for {kind} to read it by")
            held = children(printer, kind, 1)[0][1]
            return {"pointer": int(held), "target": target_of(held.type.strip_typedefs())}
        if library(kind) and kind.code != gdb.TYPE_CODE_ENUM:
            return {"value": library(kind)}
        return {"value": value.format_string(raw=True)[:60]}

    def held(self, value, kind, depth):
        """A standard class by its public meaning, as fields, or None: a
        stream by the buffer it writes to or reads from (rdbuf()), a
        container by its elements as the library's own printer lists them."""
        if re.match(r"std::(unique|shared)_ptr<", str(kind)):
            return None  # a pointer: plain() draws it so
        if library(kind) in ("std::ostream", "std::istream"):
            return [{"name": "rdbuf()", "type": "std::streambuf *",
                     "refers": int(value["_M_streambuf"]), "global": None, "library": None}]
        if library(kind) in ("std::istringstream", "std::ostringstream", "std::stringstream"):
            return string_stream(value)
        said = message(value, kind)
        if said is not None:
            return [{"name": "what()", "type": "", "value": said}]
        printer = gdb.default_visualizer(value)
        if printer is None or not hasattr(printer, "children"):
            return None
        pairs = getattr(printer, "display_hint", lambda: None)() == "map"
        listed = children(printer, kind, 33 if pairs else 17)
        starts = []  # where each pair begins: its key's address, what a reference names
        if pairs:  # key, value, key, value...: each value named by its key
            starts = [int(key.address) if isinstance(key, gdb.Value) and key.address is not None
                      else None for _, key in listed[0::2]]
            listed = [(f"[{shown(key)}]", item) for (_, key), (_, item)
                      in zip(listed[0::2], listed[1::2])]
        found = []
        for number, (name, child) in enumerate(listed):
            if number == 16:
                found.append({"name": "…", "type": "", "value": "and more"})
                break
            found.append(self.value(name, child, depth + 1) if isinstance(child, gdb.Value)
                         else {"name": name, "type": "", "value": str(child)})
            if number < len(starts) and starts[number] is not None:
                found[-1]["pair at"] = starts[number]
        return found

    def fields(self, value, depth):
        """An object's fields, each base class's as a part of its own first:
        a stream buffer's by its put area, other standard bases not at all."""
        found, put = [], None
        for part in value.type.strip_typedefs().fields():
            if part.is_base_class and library(part.type):
                put = self.put_area(value[part])
                found += [{"base": "std::streambuf", "fields": put}] if put else []
            elif part.is_base_class:
                found.append({"base": str(part.type),
                              "fields": self.fields(value[part], depth)})
            elif not part.artificial and hasattr(part, "bitpos") and \
                    not part.name.startswith("_vptr"):
                found.append(self.value(part.name, value[part], depth + 1))
        return self.marked(found, put) if put else found

    def put_area(self, base):
        """pbase(), pptr() and epptr() of a stream buffer, or None for
        another standard base."""
        if not str(base.type.strip_typedefs()).startswith("std::basic_streambuf<char"):
            return None
        try:
            return [{"name": name, "type": "char *", "pointer": int(base[field]),
                     "target": {"kind": "integer", "type": "char", "size": 1}}
                    for name, field in (("pbase()", "_M_out_beg"), ("pptr()", "_M_out_cur"),
                                        ("epptr()", "_M_out_end"))]
        except FAILS as error:
            return [{"name": "put area", "type": "",
                     "unreadable": f"a stream buffer this picture does not know ({error})"}]

    def marked(self, found, put):
        """The array the put area lies in: what is written in it, [pbase(),
        pptr()), and how much is free; each put-area pointer as an index
        into it."""
        ends = {p["name"]: p.get("pointer") for p in put}
        begin, now, end = ends.get("pbase()"), ends.get("pptr()"), ends.get("epptr()")
        for item in found:
            if begin and begin <= now <= end and item.get("type", "").startswith("char [") and \
                    item.get("address", 0) <= begin < item.get("address", 0) + item["size"]:
                written = bytes(gdb.selected_inferior().read_memory(begin, now - begin))
                item["put area"] = {"written": written.decode(errors="replace"),
                                    "free": end - now}
                for pointer in put:
                    pointer.update(into=item["name"],
                                   element=pointer["pointer"] - item["address"])
        return found


class Places:
    """What GDB knows of addresses and frames, asked once."""

    def __init__(self):
        self.symbols = {}  # an address of static storage: what is there, which stays
        self.frames = {}  # a frame's key: its locals by address
        self.locals = {}  # a function's start: every local of its blocks, found once

    def symbol(self, pc):
        """The name of the function at pc from the symbol table (a library's
        operator new[]), or ""."""
        if pc not in self.symbols:
            try:
                said = gdb.execute(f"info symbol {pc}", to_string=True)
            except gdb.error:  # no symbol there
                said = ""
            found = re.match(r"(.+?)( \+ \d+)? in section", said)
            self.symbols[pc] = found.group(1) if found else ""
        return self.symbols[pc]

    def global_name(self, address):
        """The name of a variable of static storage at address (std::cout), or None."""
        said = self.symbol(address)
        return said if re.fullmatch(r"[\w:]+", said) else None

    def out_of_scope(self, frame, address):
        """The name of a local of the frame's function at address, in scope
        or not (a try block's object, destroyed as its exception leaves it)."""
        its_key = key(frame)
        if its_key not in self.frames:  # a local stays where it is while its call runs
            if len(self.frames) > 64:  # only the frames of calls that run now are asked
                self.frames.clear()
            self.frames[its_key] = {}
            for local in self.locals_of(frame):
                try:
                    self.frames[its_key][int(local.value(frame).address)] = local.name
                except FAILS:  # optimised out, or in a register: not at an address
                    continue
        return self.frames[its_key].get(address)

    def locals_of(self, frame):
        scope = frame.block()
        while scope.function is None:
            scope = scope.superblock
        if scope.start not in self.locals:
            found = set()
            for item in frame.find_sal().symtab.linetable():
                if scope.start <= item.pc < scope.end:
                    inner = gdb.block_for_pc(item.pc)
                    while inner is not None and not inner.is_global and not inner.is_static:
                        found.update(s for s in inner if s.is_variable)
                        inner = inner.superblock
            self.locals[scope.start] = found
        return self.locals[scope.start]


def shown(key):
    """A map's key as the page names its value by."""
    return key.format_string()[:40] if isinstance(key, gdb.Value) else str(key)[:40]


def string_stream(value):
    """A string stream by its text, where the library's string buffer keeps
    it: what was read and what is left to read, and what was written."""
    buffer = value["_M_stringbuf"]
    base = buffer.cast(buffer.type.strip_typedefs().fields()[0].type)  # its streambuf part
    begin, now, end = (int(base[f]) for f in ("_M_in_beg", "_M_in_cur", "_M_in_end"))
    started, written = int(base["_M_out_beg"]), int(base["_M_out_cur"])
    memory = gdb.selected_inferior()

    def text(first, last):
        kept = bytes(memory.read_memory(first, min(last - first, 60))) if last > first else b""
        return '"' + kept.decode(errors="replace") + ('…"' if last - first > 60 else '"')

    found = [{"name": "read", "type": "", "value": text(begin, now)},
             {"name": "to read", "type": "", "value": text(now, end)}] if end > begin else []
    if written > started:
        found.append({"name": "written", "type": "", "value": text(started, written)})
    return found or [{"name": "holds", "type": "", "value": '""'}]


def message(value, kind):
    """what() of a standard exception that keeps the message it was given
    (std::logic_error, std::runtime_error and their derived classes), read
    where the library keeps it; None for any other type."""
    for base in ("std::logic_error", "std::runtime_error"):
        if derives(kind, base):
            kept = value.cast(gdb.lookup_type(base))["_M_msg"]["_M_p"]
            return '"' + kept.string(errors="replace")[:60] + '"'
    return None


def derives(kind, name):
    """Whether a class type is the named class or derives from it."""
    if str(kind.strip_typedefs().unqualified()) == name:
        return True
    return any(part.is_base_class and derives(part.type, name)
               for part in kind.strip_typedefs().fields())


def children(printer, kind, most):
    """The first children of a library printer; a layout it refuses (its
    own ValueError, as the standard library's printers raise) is one this
    picture cannot read."""
    try:
        return list(itertools.islice(printer.children(), most))
    except ValueError as error:
        raise Unknown(f"the library's printer for {kind} does not read it: {error}") from error


def contents(memory, pointers):
    """What the memory's blocks that pointers reach hold, as a pointer at
    or into a block says (an object of its dynamic type, elements), else
    its bytes; each block read once, and the blocks its object points to
    after it."""
    found, queue = {}, list(pointers)
    while queue:
        address, target = queue.pop(0)
        start = memory.block_at(address)
        if start is None or (start in found and "bytes" not in found[start]):
            continue
        size = memory.sizes[start]
        try:
            if target["kind"] == "object" and address + target["size"] <= start + size:
                # at its start, or inside it: what std::make_shared builds after its count
                item = gdb.Value(address).cast(type_of(target).pointer())
                item = item.dereference()
                item = item.cast(item.dynamic_type)
                read = {"object": {"type": str(item.type),
                                   "fields": memory.fields(item, 0)}}
                if address != start:
                    read["at"] = address - start
                queue += pointers_in(read["object"]["fields"])
            elif address == start and target["kind"] == "pointer":
                item = gdb.Value(start).cast(type_of(target).pointer())
                held = [int(item[i]) for i in range(min(size // target["size"], 64))]
                read = {"elements": [hex(p) for p in held], "element size": target["size"],
                        "pointers": held, "to": target["to"]}
                queue += [(p, target["to"]) for p in held if p]
            elif address == start and target["kind"] in ("float", "integer") \
                    and target["size"] > 1:
                item = gdb.Value(start).cast(type_of(target).pointer())
                read = {"elements": [shortest(item[i]) if target["kind"] == "float"
                                     else str(int(item[i]))
                                     for i in range(min(size // target["size"], 64))],
                        "element size": target["size"]}
            elif start in found:
                continue
            else:
                read = {"bytes": bytes(gdb.selected_inferior().read_memory(
                    start, min(size, 60))).hex()}
        except FAILS as error:
            read = {"unreadable": f"{type(error).__name__}: {error}"}
        found[start] = read
    return found


def enum_names(enum, prefix):
    return {int(f.enumval): f.name[len(prefix):].replace("_", " ")
            for f in gdb.lookup_type(enum).fields()}


def shortest(number):
    """A double in its shortest form that reads back exactly (0.1)."""
    text = repr(float(number))
    return text[:-2] if text.endswith(".0") else text


def type_name(kind):
    """A type as the lesson writes it: std::unique_ptr<char []>, not with
    its deleter; std::string, std::ostream."""
    plain = kind.strip_typedefs().unqualified()
    if re.match(r"std::(unique|shared)_ptr<", str(plain)):
        try:
            return f"{str(plain).split('<')[0]}<{plain.template_argument(0)}>"
        except FAILS:  # no template argument in the debug information: drawn as below
            return written(str(plain))
    known = library(plain) if plain.code == gdb.TYPE_CODE_STRUCT else None
    if known and "…" not in known:
        return known
    # A class by its own name (OverdraftD, not the TypeParam a test calls it).
    return written(str(plain if plain.code == gdb.TYPE_CODE_STRUCT else kind))


def written(name):
    """A type's name as a lesson writes it: std::string for the library's
    basic_string, a container without its default allocator."""
    name = name.replace("std::__cxx11::basic_string<char, std::char_traits<char>, "
                        "std::allocator<char> >", "std::string").replace("std::__cxx11::", "std::")
    return re.sub(r", std::allocator<([^<>]|<[^<>]*>)*> >", ">", name)


def target_of(pointer):
    """What a pointer type points to: its kind, type and size, and for a
    pointer to pointers what those point to (to)."""
    target = pointer.target().strip_typedefs()
    kind = {gdb.TYPE_CODE_STRUCT: "object", gdb.TYPE_CODE_FLT: "float",
            gdb.TYPE_CODE_INT: "integer", gdb.TYPE_CODE_PTR: "pointer"}.get(target.code, "other")
    if kind == "object" and library(target):
        kind = "other"
    found = {"kind": kind, "type": str(target.unqualified()), "size": target.sizeof}
    return {**found, "to": target_of(target)} if kind == "pointer" else found


def type_of(target):
    """The GDB type a target of target_of() names."""
    if target["kind"] == "pointer":
        return type_of(target["to"]).pointer()
    return gdb.lookup_type(target["type"])


def pointers_in(values):
    """(address, target) of every pointer among values and their fields."""
    for item in values:
        if "pointer" in item and item["pointer"]:
            yield item["pointer"], item["target"]
        yield from pointers_in(item.get("fields", []))


def library(kind):
    """A library type's name as the lesson calls it, or None for the project's own."""
    name = str(kind.strip_typedefs().unqualified()).replace("std::__cxx11::", "std::")
    if not name.startswith("std::"):
        return None
    for plain, shown in (("std::basic_ostream<char", "std::ostream"),
                         ("std::basic_istream<char", "std::istream"),
                         ("std::basic_ostringstream<char", "std::ostringstream"),
                         ("std::basic_istringstream<char", "std::istringstream"),
                         ("std::basic_stringstream<char", "std::stringstream"),
                         ("std::basic_string<char", "std::string")):
        if name.startswith(plain):
            return shown
    return re.sub(r"<.*", "<…>", name)


def statics(frame):
    """The project's variables of static storage in the frame's file."""
    scope = frame.block()
    while not scope.is_static:
        scope = scope.superblock
    return [s for block in (scope, scope.global_block) for s in block
            if s.is_variable and not re.match(r"_|std::", s.name)
            and "testing::" not in str(s.type)  # GoogleTest's records of the tests
            and s.symtab.filename == frame.find_sal().symtab.filename]


def is_virtual(cls, method):
    try:
        return str(gdb.parse_and_eval(f"&{cls}::{method}")).startswith("&virtual")
    except FAILS:
        return False  # overloaded, or unknown: not said


def function_of(frame):
    return frame.function().print_name if frame.function() else (frame.name() or "??")


def is_test_body(frame):
    return function_of(frame).endswith("::TestBody()")


def key(frame, function=None):
    """What tells one frame from another while it runs: its function, where
    its frame is, and where it returns to."""
    function = function or function_of(frame)
    try:
        older = frame.older()
        return (function, int(frame.read_register("rbp")), older.pc() if older else 0)
    except FAILS:
        return (function, 0, 0)
