"""When objects begin and end, as functions over the Run: the fields of an
object whose initializers have not run yet, an object whose destructor
runs after an exception took it out of scope, and the exception object
from its throw to the end of its handler.
"""
import json

from lab.picture.interpreter import captions
from lab.picture.interpreter.drawing import field
from lab.picture.interpreter.state import flat
from lab.picture.schema import member


def on_throw(run, record):
    run.calls.exception = {**record, "how": "in flight", "thrown": max(len(run.steps) - 1, 0)}


def on_catch(run, record):
    thrown = (run.calls.exception or {}).get("thrown", max(len(run.steps) - 1, 0))
    run.calls.exception = {**record, "how": "caught"}
    run.calls.catches.append({"step": len(run.steps), "thrown": thrown, "type": record["type"]})


def on_handled(run, _):
    run.calls.exception = None


def thrown(run):
    """The exception object as the step draws it, while one lives: in
    flight from its throw to its handler, then caught until the handler
    ends."""
    found = run.calls.exception
    if not found or found.get("type") is None:
        return []
    item = found.get("object", {})
    return [{"id": "exception", "address": hex(found["address"]), "state": "live",
             "size": item.get("size", 0), "exception": found["how"],
             "object": {"type": found["type"],
                        "fields": [field(run, f) for f in item.get("fields", [])]}}]


def unset(run, frames, raw):
    """The fields of an object a constructor builds now whose
    initializers have not run yet are not set yet, whatever their bytes.
    Initializers run in the list's order: one is done when this call has
    been at its line and left it, and every one before it is done (the
    compiler may visit a later line first)."""
    for frame, seen in zip(frames, raw):
        cls, kind = member(frame["raw function"])
        this = captions.this_of(frame)
        if kind not in ("constructor", "copy constructor") or not this or not seen["starts"]:
            continue
        line = seen["line"]
        listed = captions.initializers(run, frame["at"], seen["starts"])
        done = set()
        for name, at in listed:
            if at == line or at not in frame["seen"]:
                break
            done.add(name)
        waiting = {name for name, _ in listed} - done
        if not waiting:
            continue
        for item in [o for f in frames for o in f["objects"] if o.get("address") == hex(this)]:
            mark_unset(item, cls, waiting)
        block = run.heap.blocks.get(this)
        if block and "object" in block:  # a copy: the block is drawn anew
            block["object"] = json.loads(json.dumps(block["object"]))
            mark_unset(block["object"], cls, waiting)


def mark_unset(item, cls, waiting):
    parts = item.get("fields", []) if item.get("type") == cls else next(
        (p["fields"] for p in flat_parts(item.get("fields", [])) if p["base"] == cls), [])
    bases = [p for p in parts if "base" in p and p["base"].split("::")[-1] in waiting]
    for part in list(flat(bases)) + parts:  # a base not built yet: all its fields
        if part.get("name") in waiting or part in flat(bases):
            for said in ("value", "block", "element", "refers", "points", "inside", "at element",
                         "dangling"):
                part.pop(said, None)
            part["state"] = "not set yet"


def destroyed(run, destroying, frames):
    """An object whose destructor runs stays drawn, marked as being
    destroyed, in the frame it belongs to, until its destructor ends
    (an exception leaving a try block takes it out of scope first)."""
    drawn = {o.get("address") for f in frames for o in f["objects"] if "fields" in o}
    for item in destroying:
        key, this = tuple(item["key"]), hex(item["this"])
        index = next((n for n, f in enumerate(frames) if f["key"] == key), None)
        local = run.frames.locals.setdefault(key, frames[index]["entry"].get("local")
                                       if index is not None else None)
        if index is None or not local or this in drawn:
            continue
        owner = index - 1
        while owner > 0 and captions.this_of(frames[owner]) == item["this"]:
            owner -= 1  # a derived part's destructor: the object's owner is further out
        if owner >= 0:
            frames[owner]["objects"].append({
                "name": local, "type": item["class"], "address": this,
                "state": "being destroyed",
                "fields": [field(run, f) for f in item["fields"]]})
            drawn.add(this)


def flat_parts(fields):
    """The base parts among fields, nested ones too."""
    for part in fields:
        if "base" in part:
            yield part
            yield from flat_parts(part["fields"])
