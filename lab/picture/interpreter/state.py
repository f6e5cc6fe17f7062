"""A run's state as the interpreter builds it, record by record: plain data
(the heap, the frames, the calls) with the few look-ups every part needs.
Findings, captions and questions are functions over it, in their own
modules. Nothing here outlives one interpret() call.
"""
from bisect import bisect_left, bisect_right, insort
from dataclasses import dataclass, field

from lab.picture import schema


@dataclass
class Heap:
    """The recorder's blocks: each a dict with id, size, state, at, shown,
    array, start, mapping and mapped, and what was last read of it."""
    blocks: dict = field(default_factory=dict)  # by start
    starts: list = field(default_factory=list)  # sorted
    by_id: dict = field(default_factory=dict)  # of the blocks shown, numbered as shown
    shown: list = field(default_factory=list)  # (id, start) of the blocks drawn, in order
    read_now: set = field(default_factory=set)  # the blocks whose elements this step read
    faulting: list = field(default_factory=list)  # faults whose access is not told yet

    def add(self, block):
        self.blocks[block["start"]] = block
        insort(self.starts, block["start"])

    def start_of(self, address):
        """The start of the block address is in, or None."""
        index = bisect_right(self.starts, address) - 1
        start = self.starts[index] if index >= 0 and address else None
        return start if start is not None and address < start + self.blocks[start]["size"] \
            else None

    def in_pages(self, address):
        """The block whose pages (its own and the closed one after them)
        hold address, or None."""
        index = bisect_left(self.starts, address)
        for start in self.starts[max(index - 1, 0):index + 1]:
            block = self.blocks[start]
            if block["mapping"] <= address < block["mapping"] + block["mapped"]:
                return block
        return None

    def show(self, block):
        """Draws the block from now on, numbered after the blocks drawn
        before it: the library's own blocks take no number."""
        if not block["shown"]:
            block["shown"], block["id"] = True, len(self.by_id) + 1
            self.by_id[block["id"]] = block
            insort(self.shown, (block["id"], block["start"]))

    def live(self, fields, released=False):
        """{field: block id} of the pointer fields that point to a live block
        (or, with released, to any block)."""
        found = {}
        for part in flat(fields):
            start = self.start_of(part.get("pointer") or 0)
            if start is not None and (released or self.blocks[start]["state"] == "live"):
                self.show(self.blocks[start])  # a block an object's field holds is drawn
                found[part["name"]] = self.blocks[start]["id"]
        return found


@dataclass
class Gone:
    """The objects of returned frames, by start, the latest at each: (start,
    end, name, function, until, order, step it died at); a by-value
    argument lives in its caller until the caller's line (until) is over."""
    dead: dict = field(default_factory=dict)
    starts: list = field(default_factory=list)
    span: int = 1
    deaths: int = 0

    def died(self, start, size, name, function, until, step):
        if start not in self.dead:
            insort(self.starts, start)
        self.span, self.deaths = max(self.span, size), self.deaths + 1
        self.dead[start] = (start, start + size, name, function, until, self.deaths, step)

    def holding(self, address):
        """The latest returned object that holds address, or None."""
        dead, index = None, bisect_right(self.starts, address) - 1
        while index >= 0 and self.starts[index] > address - self.span:
            d = self.dead[self.starts[index]]
            if d[0] <= address < d[1] and (dead is None or d[5] > dead[5]):
                dead = d
            index -= 1
        return dead


@dataclass
class Frames:
    """The calls on the stack as the step being read shows them."""
    now: dict = field(default_factory=dict)  # frame key: its line
    sp: int = 0
    activation: dict = field(default_factory=dict)  # frame key: its call's number
    seen_lines: dict = field(default_factory=dict)  # call's number: the lines it has been at
    started: dict = field(default_factory=dict)  # frame key: the step its call began at
    objects_now: list = field(default_factory=list)  # (start, end, elements) of each variable drawn
    parts_now: dict = field(default_factory=dict)  # address: the name of an element drawn there
    locals: dict = field(default_factory=dict)  # a destructor's frame key: the local it ends
    objects_before: dict = field(default_factory=dict)  # as at the step before
    globals_before: list = field(default_factory=list)
    gone: Gone = field(default_factory=Gone)

    def drawn_at(self, address):
        """(start, element) of the variable of this step that holds address,
        of any type (an int, an array, an object): element is the index of
        an array's element, or None; None when no variable holds it."""
        index = bisect_right(self.objects_now, (address, float("inf"))) - 1
        if index < 0 or not self.objects_now[index][0] <= address < self.objects_now[index][1]:
            return None
        start, end, count = self.objects_now[index]
        return start, (address - start) * count // (end - start) if count else None

    def gone_at(self, address):
        """The object of a returned frame address is in, in words, or None:
        below the newest frame's stack pointer no frame's object lives now;
        a by-value argument, in its caller, once the caller's line is over."""
        dead = self.gone.holding(address) if address else None
        if not dead:
            return None
        over = self.now.get(dead[4][0]) != dead[4][1] if dead[4] else address < self.sp
        return f"`{dead[2]}` of {dead[3]}" if over else None


@dataclass
class Calls:
    """The calls the lessons turn on: copies and destructors of a project
    class, virtual calls, throws and their handlers."""
    pending: dict = field(default_factory=dict)  # frame key: a copy or destructor running
    returns: list = field(default_factory=list)  # return records not yet taken in
    done: list = field(default_factory=list)  # the trace's calls
    virtual: list = field(default_factory=list)  # {step, ran, method, static}
    catches: list = field(default_factory=list)  # {step, thrown, type} of each handler
    exception: dict = None  # the exception object that lives now: thrown, then caught


@dataclass
class Run:
    """One run, as far as its records have been read."""
    test: str = None
    sources: dict = field(default_factory=dict)  # path: its lines
    steps: list = field(default_factory=list)
    findings: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    unread: set = field(default_factory=set)  # (name, why) of values said unreadable
    heap: Heap = field(default_factory=Heap)
    frames: Frames = field(default_factory=Frames)
    calls: Calls = field(default_factory=Calls)
    end: str = None
    broke: str = None

    def found(self, kind, says, step=None, **more):
        assert kind in schema.KINDS, kind
        function = more.pop("function", None) or (self.steps[-1]["function"] if self.steps
                                                  else "??")
        self.findings.append({"step": max(len(self.steps) - 1, 0) if step is None else step,
                              "kind": kind, "says": says, "function": function, **more})

    def already(self, kind, block):
        return any(f["kind"] == kind and f.get("block") == block for f in self.findings)

    def note(self, says, step=None):
        if not any(n["says"] == says for n in self.notes):
            self.notes.append({"step": max(len(self.steps) - 1, 0) if step is None else step,
                               "says": says})

    def named(self, function):
        """A function as the lesson names it: a test's body as the TEST that
        wrote it."""
        if self.test and function.endswith("::TestBody()"):
            suite, _, case = self.test.partition(".")
            return f"TEST({suite.split('/')[0]}, {case})"
        return function.replace("std::__cxx11::basic_string<char, std::char_traits<char>, "
                                "std::allocator<char> >", "std::string")


def flat(parts):
    """Fields with their base parts' fields."""
    for part in parts:
        yield from flat(part["fields"]) if "base" in part else [part]
