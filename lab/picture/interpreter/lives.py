"""When objects begin and end, for the interpreter's Run: the fields of an
object whose initializers have not run yet, an object whose destructor
runs after an exception took it out of scope, and the exception object
from its throw to the end of its handler.
"""
import json

from lab.picture.interpreter import captions
from lab.picture.interpreter.captions import flat
from lab.picture.schema import member


class Lives:
    """The lifetimes' part of interpret.Run: it holds the frames and blocks."""

    def on_throw(self, record):
        self.exception = {**record, "how": "in flight", "thrown": max(len(self.steps) - 1, 0)}

    def on_catch(self, record):
        thrown = (self.exception or {}).get("thrown", max(len(self.steps) - 1, 0))
        self.exception = {**record, "how": "caught"}
        self.catches.append({"step": len(self.steps), "thrown": thrown, "type": record["type"]})

    def on_handled(self, _):
        self.exception = None

    def thrown(self):
        """The exception object as the step draws it, while one lives: in
        flight from its throw to its handler, then caught until the handler
        ends."""
        found = self.exception
        if not found or found.get("type") is None:
            return []
        item = found.get("object", {})
        return [{"id": "exception", "address": hex(found["address"]), "state": "live",
                 "size": item.get("size", 0), "exception": found["how"],
                 "object": {"type": found["type"],
                            "fields": [self.field(f) for f in item.get("fields", [])]}}]

    def unset(self, frames, raw):
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
            listed = captions.initializers(self, frame["at"], seen["starts"])
            done = set()
            for name, at in listed:
                if at == line or at not in frame["seen"]:
                    break
                done.add(name)
            waiting = {name for name, _ in listed} - done
            if not waiting:
                continue
            for item in [o for f in frames for o in f["objects"] if o.get("address") == hex(this)]:
                self.mark_unset(item, cls, waiting)
            block = self.blocks.get(this)
            if block and "object" in block:  # a copy: the block is drawn anew
                block["object"] = json.loads(json.dumps(block["object"]))
                self.mark_unset(block["object"], cls, waiting)

    @staticmethod
    def mark_unset(item, cls, waiting):
        parts = item.get("fields", []) if item.get("type") == cls else next(
            (p["fields"] for p in flat_parts(item.get("fields", [])) if p["base"] == cls), [])
        bases = [p for p in parts if "base" in p and p["base"].split("::")[-1] in waiting]
        for part in list(flat(bases)) + parts:  # a base not built yet: all its fields
            if part.get("name") in waiting or part in flat(bases):
                for said in ("value", "block", "element", "refers", "points", "dangling"):
                    part.pop(said, None)
                part["state"] = "not set yet"

    def destroyed(self, destroying, frames):
        """An object whose destructor runs stays drawn, marked as being
        destroyed, in the frame it belongs to, until its destructor ends
        (an exception leaving a try block takes it out of scope first)."""
        drawn = {o.get("address") for f in frames for o in f["objects"] if "fields" in o}
        for item in destroying:
            key, this = tuple(item["key"]), hex(item["this"])
            index = next((n for n, f in enumerate(frames) if f["key"] == key), None)
            local = self.locals.setdefault(key, frames[index]["entry"].get("local")
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
                    "fields": [self.field(f) for f in item["fields"]]})
                drawn.add(this)


def flat_parts(fields):
    """The base parts among fields, nested ones too."""
    for part in fields:
        if "base" in part:
            yield part
            yield from flat_parts(part["fields"])
