"""The heap of a run: the recorder's events and faults taken into the
Run's Heap, with the findings they make at once (a bad or second release,
a use past the end or after the release), and the blocks as a step draws
them.
"""
import re

from lab.picture.interpreter import captions

NOT_ASKED = re.compile(r"operator (new|delete)|picture_|\(anonymous namespace\)::Recorded")


def on_event(run, event):
    """One event of the recorder's log. A block is shown when a line of the
    project asked for it (by new or std::make_unique), not the library for
    its own ends; array or not is told by the operator that allocated or
    released it."""
    start, callers, kind = event["start"], event["callers"], event["event"]
    block = run.heap.blocks.get(start)
    own = [c for c in callers if not NOT_ASKED.match(c[0])]
    asker = next((c for c in own if not re.match(r"std::make_(unique|shared)", c[0])),
                 ["", None])
    function, at = next(((f, p) for f, p in callers if p), ("??", None))
    operators = callers[:len(callers) - len(own)] if own else callers
    array = any(re.match(r"operator (new|delete)\[\]", f) for f, _ in operators)
    if kind == "allocated":
        block = {"id": None, "size": event["size"], "state": "live",
                 "at": at or "", "shown": False, "array": array, "start": start,
                 "mapping": event["mapping"], "mapped": event["mapped"]}
        run.heap.add(block)
        if asker[1]:  # a line of the project asked for it
            run.heap.show(block)
    elif kind == "released" and block:
        released(run, block, function, array, {f for f, _ in callers})
    elif kind == "released again" and block and block["shown"]:
        run.found("double free", f"block {block['id']} is released a second time, in "
                                 f"{function}; {block['releaser']} had released it",
                  block=block["id"], function=function)
    elif kind == "bad release":
        run.found("bad release", f"{function} releases {what_is(run, start)}, which no new "
                  "returned: only a block's start, as new gave it, can be released",
                  function=function)
    elif kind == "pages reused" and block:
        block["state"] = "given back"
        run.note("the pages of the blocks released longest ago were given back to the system "
                 "to make room (too many blocks): a later use of one of them is not found")
    elif kind == "faulted":
        for fault in run.heap.faulting:
            if fault["address"] == start:
                fault["access"] = event["access"]


def released(run, block, function, array, releasers):
    block.update(state="released", releaser=function, released_at=len(run.steps) - 1,
                 releasers=releasers)
    if block["shown"] and block["at"] and block["array"] != array:
        made, wrong = ("new[]", "delete") if block["array"] else ("new", "delete[]")
        run.found("bad release", f"block {block['id']} came from {made} and {function} "
                                 f"releases it with {wrong}: release with what allocated",
                  block=block["id"], function=function)


def on_fault(run, fault):
    """A stop on a closed page: the block whose pages it is in, past its end
    or released, whatever the width of the access (a library's load may
    start before the block)."""
    settle(run)
    if not fault["again"]:
        run.heap.faulting.append({**fault, "step": max(len(run.steps) - 1, 0)})


def settle(run):
    """Findings of the faults whose access the recorder has told."""
    for fault in run.heap.faulting:
        block = run.heap.in_pages(fault["address"])
        if block is not None:
            faulted(run, fault, block)
    run.heap.faulting = []


def faulted(run, fault, block):
    address, start = fault["address"], block["start"]
    how = {"read": "reads", "write": "writes"}.get(fault.get("access"), "uses")
    inside = f", in a call of {plain_name(fault['library'])}" if fault["library"] else ""
    who = run.named(fault["function"] or "??")
    run.heap.show(block)  # a block a finding names is drawn
    if address >= start + block["size"] and block["state"] == "live":
        over = address - start - block["size"]
        size = block.get("element size")
        count = block["size"] // size if size else 0
        what = (f"[{(address - start) // size}], past the end of block {block['id']} "
                f"([0] to [{count - 1}]" if count else
                f"{'the first byte' if over == 0 else f'{over + 1} bytes'} past the "
                f"end of block {block['id']} ({block['size']} bytes")
        if not run.already("past the end", block["id"]):
            run.found("past the end", f"{who} {how} {what}, allocated at {block['at']})"
                                      f"{inside}", block=block["id"], function=who,
                      step=fault["step"])
    elif block["state"] != "live" and not run.already("use after free", block["id"]):
        run.found("use after free", f"{who} {how} block {block['id']}{inside} after "
                                    f"{block.get('releaser', '??')} released it",
                  block=block["id"], function=who, step=fault["step"])


def read(run, start, read_, field):
    """Takes in what the observer read of a block; field draws a value."""
    block = run.heap.blocks.get(start)
    if block is None or block["state"] != "live":
        return
    if "object" in read_:  # the same dict while it holds the same: drawn() keeps it
        object_ = {"type": read_["object"]["type"],
                   "fields": [field(f) for f in read_["object"]["fields"]],
                   **({"at": read_["at"]} if "at" in read_ else {})}
        block["object"] = object_ if object_ != block.get("object") else block["object"]
    elif "elements" in read_:
        run.heap.read_now.add(start)
        elements = [{"index": i, "value": v} for i, v in enumerate(read_["elements"])]
        for element, held in zip(elements, read_.get("pointers", [])):  # an array of pointers
            element.update(field({"name": "", "pointer": held, "target": read_["to"]}))
            del element["name"]
        kept = block.get("last elements")
        block["elements"] = block["last elements"] = elements if elements != kept else kept
        block["element size"] = read_["element size"]
    elif "bytes" in read_ and "object" not in block:  # text only where it is text
        text = bytes.fromhex(read_["bytes"]).split(b"\0")[0].decode(errors="replace")
        if all(c.isprintable() or c in "\n\t" for c in text) and (text or block["size"] == 1):
            block["text"] = text
        else:
            block.pop("text", None)
    elif "unreadable" in read_:
        run.note(f"block {block['id']} could not be read: {read_['unreadable']}")


DRAWN = ("id", "size", "state", "text", "object", "at", "array", "elements")


def drawn(run, marks):
    """The shown blocks as the step draws them, in the order of their ids:
    only those, so a step costs what it draws, not every block the library
    made; elements only where a pointer at the block's start said this
    step what they are."""
    found = []
    for _, start in run.heap.shown:
        b = run.heap.blocks[start]
        touched = marks.get(b["id"])
        signature = (b["state"], b.get("text"), id(b.get("object")), id(b.get("elements")),
                     touched)
        if b.get("signature") != signature:  # a block as it was is drawn as it was
            b["signature"], b["drawn"] = signature, {
                "address": hex(start), **{k: v for k, v in b.items() if k in DRAWN},
                **({"touched": touched} if touched else {})}
        found.append(b["drawn"])
    for start in run.heap.read_now:  # elements hold for the step that read them
        run.heap.blocks[start].pop("elements", None)
    run.heap.read_now = set()
    return found


def what_is(run, address):
    """An address in words: a block, the inside of one, or an object."""
    start = run.heap.start_of(address)
    if start is not None:
        block = run.heap.blocks[start]
        run.heap.show(block)  # a block a finding names is drawn
        return (f"block {block['id']}" if start == address else
                f"an address {address - start} bytes inside block {block['id']}")
    holder = captions.name_of(address, run.steps[-1], inside=True) if run.steps else None
    return f"{holder}, an object on the stack" if holder else f"the address {address:#x}"


def plain_name(function):
    """A library routine as the lesson calls it: strcpy, not __strcpy_avx2."""
    return re.sub(r"^_+|_(avx|sse|evex|erms|unaligned)\w*$", "", function)
