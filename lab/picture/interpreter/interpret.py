"""The interpreter of make picture, plain Python with no GDB: reads the
observer's raw records (schema.RAW) and derives the trace the page draws
(schema.TRACE): each step's frames and blocks in the lesson's words, what
each step runs, and every finding where it happens. captions.py words the
steps, findings.py finds what went wrong; this module holds the memory.
Nothing here is
kept between runs: all of a run's state is one Run.
"""
import json
import re
from bisect import bisect_left, bisect_right, insort

from lab.picture import schema
from lab.picture.interpreter import captions, questions
from lab.picture.schema import member
from lab.picture.interpreter.findings import Findings
from lab.picture.interpreter.lives import Lives


class Run(Findings, Lives):
    """The trace of one run, built record by record."""

    def __init__(self, settings):
        self.test = settings.get("test")
        self.sources, self.steps, self.findings, self.calls, self.notes = {}, [], [], [], []
        self.blocks, self.starts, self.by_id = {}, [], {}  # by start, sorted starts, by id
        self.shown_list = []  # (id, start) of the blocks drawn, in order
        self.read_now = set()  # the blocks whose elements this step read
        # Objects of returned frames, by start, the latest at each: (start,
        # end, name, function, until, order); a by-value argument lives in
        # its caller until the caller's line (until) is over.
        self.dead, self.dead_starts, self.dead_span, self.deaths = {}, [], 1, 0
        self.now = {}  # frame key: its line, at the step being read
        self.pending, self.returns = {}, []  # calls running; returns not yet taken in
        self.activation, self.seen_lines = {}, {}  # frame key: its call's number; its lines
        self.exception = None  # the exception object that lives now: thrown, then caught
        self.objects_now = set()  # the addresses of the objects the step draws
        self.catches = []  # each handler that took an exception: its first step, the throw's
        self.locals = {}  # a destructor's frame key: the caller's local it ends
        self.faulting, self.unread = [], set()
        self.sp = 0
        self.objects_before, self.globals_before = {}, []  # as at the step before

    # Records.

    def take(self, record):
        getattr(self, "on_" + record["record"])(record)

    def on_source(self, record):
        self.sources[record["path"]] = record["text"].splitlines()

    def on_event(self, event):
        """One event of the recorder's log. A block is shown when a line of
        the project asked for it (by new or std::make_unique), not the
        library for its own ends; array or not is told by the operator
        that allocated or released it."""
        start, callers = event["start"], event["callers"]
        block = self.blocks.get(start)
        own = [c for c in callers if not re.match(r"operator (new|delete)|picture_|\(anonymous"
                                                  r" namespace\)::Recorded", c[0])]
        asker = next((c for c in own if not re.match(r"std::make_(unique|shared)", c[0])),
                     ["", None])
        function, at = next(((f, p) for f, p in callers if p), ("??", None))
        operators = callers[:len(callers) - len(own)] if own else callers
        array = any(re.match(r"operator (new|delete)\[\]", f) for f, _ in operators)
        kind = event["event"]
        if kind == "allocated":
            block = {"id": len(self.blocks) + 1, "size": event["size"], "state": "live",
                     "at": at or "", "shown": False, "array": array, "start": start,
                     "mapping": event["mapping"], "mapped": event["mapped"]}
            self.blocks[start] = block
            if asker[1]:  # a line of the project asked for it
                self.show(block)
            self.by_id[block["id"]] = block
            self.starts.insert(bisect_right(self.starts, start), start)
        elif kind == "released" and block:
            block.update(state="released", releaser=function, released_at=len(self.steps) - 1,
                         releasers={f for f, _ in callers})
            if block["shown"] and block["at"] and block["array"] != array:
                made, wrong = ("new[]", "delete") if block["array"] else ("new", "delete[]")
                self.found("bad release", f"block {block['id']} came from {made} and {function} "
                                          f"releases it with {wrong}: release with what "
                                          "allocated", block=block["id"], function=function)
        elif kind == "released again" and block and block["shown"]:
            self.found("double free", f"block {block['id']} is released a second time, in "
                                      f"{function}; {block['releaser']} had released it",
                       block=block["id"], function=function)
        elif kind == "bad release":
            self.found("bad release", f"{function} releases {self.what_is(start)}, which no "
                       "new returned: only a block's start, as new gave it, can be released",
                       function=function)
        elif kind == "pages reused" and block:
            block["state"] = "given back"
            self.note("the pages of the blocks released longest ago were given back to the "
                      "system to make room (too many blocks): a later use of one of them is "
                      "not found")
        elif kind == "faulted":
            for fault in self.faulting:
                if fault["address"] == start:
                    fault["access"] = event["access"]

    def on_fault(self, fault):
        """A stop on a closed page: the block whose pages it is in, past its
        end or released, whatever the width of the access (a library's
        load may start before the block)."""
        self.settle()
        if not fault["again"]:
            self.faulting.append({**fault, "step": max(len(self.steps) - 1, 0)})

    def settle(self):
        """Findings of the faults whose access the recorder has told."""
        for fault in self.faulting:
            address, block = fault["address"], self.in_pages(fault["address"])
            start = next((s for s, b in self.blocks.items() if b is block), None)
            how = {"read": "reads", "write": "writes"}.get(fault.get("access"), "uses")
            inside = f", in a call of {plain_name(fault['library'])}" if fault["library"] else ""
            who = self.named(fault["function"] or "??")
            if block is None:
                continue
            self.show(block)  # a block a finding names is drawn
            if address >= start + block["size"] and block["state"] == "live":
                over = address - start - block["size"]
                size = block.get("element size")
                count = block["size"] // size if size else 0
                what = (f"[{(address - start) // size}], past the end of block {block['id']} "
                        f"([0] to [{count - 1}]" if count else
                        f"{'the first byte' if over == 0 else f'{over + 1} bytes'} past the "
                        f"end of block {block['id']} ({block['size']} bytes")
                if not self.already("past the end", block["id"]):
                    self.found("past the end", f"{who} {how} {what}, allocated at "
                                               f"{block['at']}){inside}",
                               block=block["id"], function=who, step=fault["step"])
            elif block["state"] != "live" and not self.already("use after free", block["id"]):
                self.found("use after free", f"{who} {how} block {block['id']}{inside} after "
                                             f"{block.get('releaser', '??')} released it",
                           block=block["id"], function=who, step=fault["step"])
        self.faulting = []

    def already(self, kind, block):
        return any(f["kind"] == kind and f.get("block") == block for f in self.findings)

    def in_pages(self, address):
        """The block whose pages (its own and the closed one after them)
        hold address, or None."""
        index = bisect_left(self.starts, address)
        for start in self.starts[max(index - 1, 0):index + 1]:
            block = self.blocks[start]
            if block["mapping"] <= address < block["mapping"] + block["mapped"]:
                return block
        return None

    def on_return(self, record):
        self.returns.append(record)

    def on_step(self, raw):
        for frame in raw["frames"]:
            if frame.get("objects as before"):
                frame["objects"] = self.objects_before.get(tuple(frame["key"]), [])
        self.objects_before = {tuple(f["key"]): f["objects"] for f in raw["frames"]}
        if raw.get("globals as before"):
            raw["globals"] = self.globals_before
        self.globals_before = raw["globals"]
        self.settle()
        self.sp = raw["sp"]
        keys = [tuple(f["key"]) for f in raw["frames"]]
        self.now = {key: f["line"] for key, f in zip(keys, raw["frames"])}
        self.objects_now = {o["address"] for f in raw["frames"] for o in f["objects"]
                            if "fields" in o and "address" in o}
        before = self.steps[-1] if self.steps else None
        for frame in before["frames"] if before else []:  # returned: its objects are gone
            if frame.get("key") and frame["key"] not in keys:
                self.activation.pop(frame["key"], None)
                for o in frame["objects"]:
                    if "address" in o:
                        self.died(int(o["address"], 16), o.get("size", 1), o["name"],
                                  frame["function"],
                                  frame["caller"] if o["name"] in frame["by value"] else None)
        for start, read in raw["blocks"].items():
            self.read(int(start), read)
        building = {o["refers"] for f in raw["frames"] for o in f["objects"]
                    if o["name"] == "this" and "constructor" in (member(f["function"])[1] or "")
                    and "refers" in o}
        frames = []
        for index, frame in enumerate(raw["frames"]):
            its_key = keys[index]
            if its_key not in self.activation:  # a new call, even from the same place
                self.activation[its_key] = len(self.seen_lines)
                self.seen_lines[self.activation[its_key]] = set()
            lines = self.seen_lines[self.activation[its_key]]
            newest = index == len(raw["frames"]) - 1
            objects = [self.shown(o, self.built(o, frame["line"], newest, lines, building))
                       for o in frame["objects"]]
            seen_before = set(lines)
            lines.add(frame["line"])
            frames.append({"function": self.named(frame["function"]), "at": frame["at"],
                           "objects": objects, "key": its_key, "entry": frame.get("entry", {}),
                           "raw function": frame["function"], "seen": seen_before,
                           "caller": (keys[index - 1], raw["frames"][index - 1]["line"])
                           if index else None,
                           "by value": {o["name"] for o in frame["objects"]
                                        if o.get("by value")}})
        self.destroyed(raw.get("destroying", []), frames)
        self.unset(frames, raw["frames"])
        globals_ = [self.shown(o, True) for o in raw["globals"]]
        built = {o["name"] for o in frames[-1]["objects"] if "state" not in o}
        marks = {}
        for base, index, pointer, number in raw["subscripts"]:
            start = self.start_of(pointer)
            block = self.blocks.get(start)
            if (index.isdigit() or index in built) and block and block.get("elements"):
                size = block["element size"]
                marks.setdefault(block["id"], []).append((pointer - start) // size + number)
        self.returned(frames)
        step = {"at": frames[-1]["at"], "function": frames[-1]["function"],
                "says": captions.says(self, frames, before),
                "out": raw["out"], "err": raw["err"],
                **({"in": raw["read"]} if "read" in raw else {}),
                "frames": ([{"function": "globals", "at": None, "objects": globals_}]
                           if globals_ else []) + frames,
                "blocks": self.thrown() + self.drawn(marks)}
        self.steps.append(step)
        self.shared(step)
        self.dangling(step)
        self.entered(step)

    def on_end(self, record):
        self.settle()
        self.end, self.broke = record["how"], record.get("traceback")
        self.out, self.err = record["out"], record["err"]
        if self.broke:
            self.note("the tracer broke here; what it said:\n" + self.broke)
        if self.steps and record["how"].startswith("exit"):
            self.returned([])
            last = self.steps[-1]
            self.steps.append({**last, "function": "", "says": f"the program has ended: "
                               f"{record['how']}", "out": record["out"], "err": record["err"],
                               "frames": [], "blocks": self.drawn({})})
            self.leaks(self.steps[-2])

    # Memory in the lesson's words.

    def read(self, start, read):
        """Takes in what the observer read of a block."""
        block = self.blocks.get(start)
        if block is None or block["state"] != "live":
            return
        if "object" in read:  # the same dict while it holds the same: drawn() keeps it
            object_ = {"type": read["object"]["type"],
                       "fields": [self.field(f) for f in read["object"]["fields"]]}
            block["object"] = object_ if object_ != block.get("object") else block["object"]
        elif "elements" in read:
            self.read_now.add(start)
            elements = [{"index": i, "value": v} for i, v in enumerate(read["elements"])]
            kept = block.get("last elements")
            block["elements"] = block["last elements"] = elements if elements != kept else kept
            block["element size"] = read["element size"]
        elif "bytes" in read and "object" not in block:  # text only where it is text
            text = bytes.fromhex(read["bytes"]).split(b"\0")[0].decode(errors="replace")
            if all(c.isprintable() or c in "\n\t" for c in text) and (text or block["size"] == 1):
                block["text"] = text
            else:
                block.pop("text", None)
        elif "unreadable" in read:
            self.note(f"block {block['id']} could not be read: {read['unreadable']}")

    def drawn(self, marks):
        """The shown blocks as the step draws them; elements only where a
        pointer at the block's start said this step what they are."""
        found = []
        for start in self.shown_starts():
            b = self.blocks[start]
            touched = marks.get(b["id"])
            signature = (b["state"], b.get("text"), id(b.get("object")),
                         id(b.get("elements")), touched)
            if b.get("signature") != signature:  # a block as it was is drawn as it was
                b["signature"], b["drawn"] = signature, {
                    "address": hex(start), **{k: v for k, v in b.items() if k in (
                        "id", "size", "state", "text", "object", "at", "array",
                        "elements")}, **({"touched": touched} if touched else {})}
            found.append(b["drawn"])
        for start in self.read_now:  # elements hold for the step that read them
            self.blocks[start].pop("elements", None)
        self.read_now = set()
        return found

    def shown_starts(self):
        """The starts of the blocks a page draws, in the order of their ids:
        only those, so a step costs what it draws, not every block the
        library made."""
        return [start for _, start in self.shown_list]

    def show(self, block):
        """Draws the block from now on."""
        if not block["shown"]:
            block["shown"] = True
            insort(self.shown_list, (block["id"], block["start"]))

    def built(self, item, line, newest, lines, building):
        """Whether a variable is built: an argument is; a local is once this
        call has been at its declaration's line or past it and has gone on
        (a jump past it, as an exception leaves a try block, builds
        nothing); on that line, once it came round in this call; and in a
        caller while a constructor running now builds it."""
        if item.get("argument"):
            return True
        if item["line"] < line:
            return max(lines, default=0) >= item["line"]
        if item["line"] == line:
            return line in lines if newest else item.get("address") in building
        return False

    def shown(self, item, built):
        """A variable as the page draws it."""
        if not built:
            return {"name": item["name"], "type": item["type"], "state": "not built yet",
                    "address": hex(item.get("address", 0))}
        if item["name"] == "this" and item.get("refers") == 0:
            return {"name": "this", "type": item["type"], "state": "not built yet"}
        shown = {"name": item["name"], "type": item["type"]}
        if "address" in item and "refers" not in item:
            shown.update(address=hex(item["address"]), size=item["size"])
        return {**shown, **self.field(item)}

    def field(self, item):
        """A field or a variable's value: a reference to what it names, an
        object's fields, a pointer with the block it points into."""
        if "base" in item:
            return {"base": item["base"], "fields": [self.field(f) for f in item["fields"]]}
        shown = {"name": item["name"]}
        if "unreadable" in item:
            if (item["name"], item["unreadable"]) not in self.unread:
                self.unread.add((item["name"], item["unreadable"]))
                self.note(f"`{item['name']}` could not be read: {item['unreadable']}")
            return {**shown, "value": "could not be read"}
        if "refers" in item:
            shown.update(refers=hex(item["refers"]),
                         value=item.get("global") or item.get("library") or "")
            gone = self.gone(item["refers"])
            return {**shown, **({"dangling": gone} if gone else {})}
        if "fields" in item and not item["fields"]:  # an empty container, say
            return {**shown, "value": "empty" if item["type"].startswith("std::") else ""}
        if "fields" in item:
            return {**shown, "type": item["type"], "fields": [self.field(f) for f in item["fields"]]}
        if "put area" in item:  # what is written, then how much is free
            put = item["put area"]
            return {**shown, "value": f"{json.dumps(put['written'], ensure_ascii=False)} "
                                      f"written, {put['free']} free"}
        if "pointer" not in item:
            return {**shown, "value": item["value"]}
        address = item["pointer"]
        shown["value"] = "nullptr" if address == 0 else hex(address)
        if "into" in item:  # a put area's end: an index into the object's array
            return {**shown, "value": f"→ {item['into']}[{item['element']}]"}
        if address in self.objects_now:  # an object drawn here: an arrow to it
            return {**shown, "refers": hex(address), "points": True, "value": ""}
        start = self.start_of(address)
        if start is not None:
            block = self.blocks[start]
            shown["block"] = block["id"]
            self.show(block)
            if address != start and item["target"]["size"]:
                shown["element"] = (address - start) // item["target"]["size"]
        elif self.gone(address):
            shown["dangling"] = self.gone(address)
        return shown

    def start_of(self, address):
        """The start of the block address is in, or None."""
        index = bisect_right(self.starts, address) - 1
        start = self.starts[index] if index >= 0 and address else None
        return start if start is not None and address < start + self.blocks[start]["size"] \
            else None

    def died(self, start, size, name, function, until):
        if start not in self.dead:
            insort(self.dead_starts, start)
        self.dead_span, self.deaths = max(self.dead_span, size), self.deaths + 1
        self.dead[start] = (start, start + size, name, function, until, self.deaths)

    def gone(self, address):
        """The object of a returned frame address is in, in words, or None:
        below the newest frame's stack pointer no frame's object lives now;
        a by-value argument, in its caller, once the caller's line is over."""
        dead, index = None, bisect_right(self.dead_starts, address) - 1
        while index >= 0 and self.dead_starts[index] > address - self.dead_span:
            d = self.dead[self.dead_starts[index]]  # the latest that holds address
            if d[0] <= address < d[1] and (dead is None or d[5] > dead[5]):
                dead = d
            index -= 1
        if not address or not dead:
            return None
        over = self.now.get(dead[4][0]) != dead[4][1] if dead[4] else address < self.sp
        return f"`{dead[2]}` of {dead[3]}" if over else None

    def what_is(self, address):
        """An address in words: a block, the inside of one, or an object."""
        start = self.start_of(address)
        if start is not None:
            block = self.blocks[start]
            return (f"block {block['id']}" if start == address else
                    f"an address {address - start} bytes inside block {block['id']}")
        holder = captions.name_of(address, self.steps[-1], inside=True) if self.steps else None
        return f"{holder}, an object on the stack" if holder else f"the address {address:#x}"

    def named(self, function):
        """A function as the lesson names it: a test's body as the TEST that
        wrote it."""
        if self.test and function.endswith("::TestBody()"):
            suite, _, case = self.test.partition(".")
            return f"TEST({suite.split('/')[0]}, {case})"
        return function.replace("std::__cxx11::basic_string<char, std::char_traits<char>, "
                                "std::allocator<char> >", "std::string")


def plain_name(function):
    """A library routine as the lesson calls it: strcpy, not __strcpy_avx2."""
    return re.sub(r"^_+|_(avx|sse|evex|erms|unaligned)\w*$", "", function)


def interpret(records, settings, output=b"", errors=b"", failures=(), typed=b""):
    """The trace of a run from its raw records (checked against schema.RAW),
    its output and errors as bytes, a drawn test's failure records, and
    the input file it read."""
    run = Run(settings)
    for record in records:
        schema.check_raw(record)
        run.take(record)
    if not hasattr(run, "end"):
        run.on_end({"how": "the tracer's records end early", "out": len(output),
                    "err": len(errors)})
    failed = placed(run, failures, output)  # by bytes, before the steps count otherwise
    terminal = dialogue(run.steps, output, typed) if typed else None
    asked = questions.asked(run, typed)  # from the steps as drawn, before they become pieces
    trace = {("test" if run.test else "program"): run.test or settings.get("name"),
             "end": run.end, "why": captions.ended(run, errors),
             "output": counted(run.steps, "out", output),
             **({"input": counted(run.steps, "in", typed), "terminal": terminal}
                if typed else {}),
             "errors": counted(run.steps, "err", errors),
             "findings": run.findings, "failures": failed,
             "notes": run.notes, "calls": run.calls, "questions": asked,
             "sources": {path: "\n".join(lines) for path, lines in run.sources.items()}}
    pieces = schema.Pieces()
    for step in run.steps:
        step["frames"] = [{"function": f["function"], "at": f["at"],
                           "objects": [pieces(o, (depth, f["function"], number))
                                       for number, o in enumerate(f["objects"])]}
                          for depth, f in enumerate(step["frames"])]
        step["blocks"] = [pieces(b) for b in step["blocks"]]
    trace.update(pieces=pieces.pieces, steps=run.steps)
    schema.check_trace(trace)
    return trace


def dialogue(steps, output, typed):
    """The output with what was typed where it was typed, as at a terminal:
    a line of the input shows once the program has read from it. Each step
    gets "term", how much of it shows then (the page's UTF-16 units)."""
    text, shown_out, shown_in = b"", 0, 0
    for step in steps:
        read = step.get("in", 0)
        line_end = typed.find(b"\n", max(read - 1, 0))
        upto = (len(typed) if line_end < 0 else line_end + 1) if read else 0
        text += output[shown_out:max(step["out"], shown_out)] + typed[shown_in:max(upto, shown_in)]
        shown_out, shown_in = max(step["out"], shown_out), max(upto, shown_in)
        step["term"] = len(text.decode(errors="replace").encode("utf-16-le")) // 2
    return text.decode(errors="replace")


def counted(steps, field, raw):
    """The text of raw, and each step's count of its bytes turned into the
    page's units (UTF-16, as JavaScript's strings count)."""
    text = raw.decode(errors="replace")
    for step in steps:
        if field in step:
            step[field] = len(raw[:step[field]].decode(errors="replace").encode("utf-16-le")) // 2
    return text


def placed(run, failures, output):
    """A drawn test's failed expectations, each at the step that printed it,
    or at the last step that ran its line, or with a note that says so."""
    found = []
    for failure in failures:
        at = output.find(f"  {failure['at']}:".encode())
        step = next((n - 1 for n, s in enumerate(run.steps) if at >= 0 and s["out"] > at), None)
        if step is None:
            step = next((n for n in range(len(run.steps) - 1, -1, -1)
                         if run.steps[n]["at"] == failure["at"]), None)
        if step is None:
            step = len(run.steps) - 1
            run.note(f"the failure at {failure['at']} is shown at the last step: no step "
                     "printed it or ran its line")
        found.append({**failure, "step": max(step, 0)})
    return found


def records_of(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]
