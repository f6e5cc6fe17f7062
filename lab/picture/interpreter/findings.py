"""What went wrong in a run, found where it happens: the findings of the
interpreter's Run that memory shows (a shared block, a dangling pointer or
reference, a leak) and those a copy or destructor shows once it returns (a
sliced copy, a field the copy did not copy).
"""
import re

from lab.picture import schema
from lab.picture.interpreter import captions
from lab.picture.interpreter.captions import a, flat


class Findings:
    """The findings' part of interpret.Run: it holds the memory these read."""

    def found(self, kind, says, step=None, **more):
        assert kind in schema.KINDS, kind
        function = more.pop("function", None) or (self.steps[-1]["function"] if self.steps
                                                  else "??")
        self.findings.append({"step": max(len(self.steps) - 1, 0) if step is None else step,
                              "kind": kind, "says": says, "function": function, **more})

    def note(self, says):
        if not any(n["says"] == says for n in self.notes):
            self.notes.append({"step": max(len(self.steps) - 1, 0), "says": says})

    def shared(self, step):
        """A live block that fields of two objects point into, found the first time."""
        objects = {o["address"]: (f"`{o['name']}`", o["fields"]) for f in step["frames"]
                   for o in f["objects"] if "fields" in o}
        objects.update({b["address"]: (f"the `{b['object']['type']}` on the heap (block "
                                       f"{b['id']})", b["object"]["fields"])
                        for b in step["blocks"] if "object" in b})
        holders = {}
        for address, (_, parts) in objects.items():
            for part in flat(parts):
                holders.setdefault(part.get("block"), set()).add(address)
        last = self.steps[-2]["function"] if len(self.steps) > 1 else "??"
        for block in sorted({b["id"] for b in self.blocks.values() if b["state"] == "live"}
                            & set(holders)):
            if len(holders[block]) > 1 and not self.already("shared block", block):
                held = " and ".join(objects[h][0] for h in sorted(holders[block]))
                self.found("shared block", f"{held} hold one block, block {block}, where each "
                                           f"should own a block of its own: {last} made them "
                                           "share it", block=block, function=last)

    def dangling(self, step):
        """A pointer or reference, a member one too, into an object whose
        frame has returned, found the first step the line that runs uses it."""
        frame = step["frames"][-1]
        line = captions.line_of(self, frame["at"])
        for item in frame["objects"]:
            for part in flat(item.get("fields", [item])):
                gone = part.get("dangling")
                if gone and re.search(rf"\b{re.escape(item['name'])}\b", line) and not any(
                        f["kind"] == "dangling" and f.get("holder") == item["name"]
                        for f in self.findings):
                    name = item["name"] + ("" if part is item else "." + part["name"])
                    self.found("dangling", f"`{name}` {'refers to' if 'refers' in part else 'points to'} "
                                           f"{gone}, whose frame has returned: that object is "
                                           f"gone, and `{line}` uses what is left in its place",
                               holder=item["name"], function=frame["function"])

    def leaks(self, last):
        """At the end, a block still live is a leak, unless a variable of
        static storage still points to it: then it was kept to the end."""
        kept = {part.get("block"): item["name"] for frame in last["frames"][:1]
                if frame["function"] == "globals" for item in frame["objects"]
                for part in flat(item.get("fields", [item]))}
        for block in self.blocks.values():
            if block["state"] == "live" and block["shown"]:
                holder = kept.get(block["id"])
                self.found("kept to the end" if holder else "leak",
                           f"block {block['id']} ({block['size']} bytes, allocated at "
                           f"{block['at']}) was never released" + (
                               f"; `{holder}` still points to it as the program ends"
                               if holder else ""), function="")

    # Copies and destructors: what they did, seen once they return.

    def entered(self, step):
        """At the first step of a copy or destructor of a project class:
        what it works on, for the page's question and the checks on its
        return; a copy from a derived object is sliced."""
        frame = step["frames"][-1]
        call = frame["entry"].get("call")
        if not call:
            return
        kind, cls, this = call["kind"], call["class"], call["this"]
        copy = step["says"].startswith("copy constructor: the copy of")
        local = frame["entry"].get("local")
        pending = {"step": len(self.steps) - 1, "kind": kind, "class": cls, "this": this,
                   "function": frame["raw function"],
                   "object": captions.name_of(this, step) or (f"`{local}`" if local else None)
                   or (step["says"].split(": ", 1)[1] if copy else f"the `{cls}`"),
                   "blocks": self.live(call.get("fields", []))}
        if "source" in call:
            pending.update(source=call["source"],
                           **{"from": captions.name_of(call["source"], step) or "its source"})
            dynamic = call.get("dynamic")
            if dynamic and dynamic != cls and not captions.base_part(this, step["frames"]):
                static = {f["name"] for f in flat(call["static fields"])}
                left = [f["name"] for f in flat(call["dynamic fields"]) if f["name"] not in static]
                self.found("sliced", f"{pending['object']} is {a(cls)} "
                                     f"{'built' if 'constructor' in kind else 'assigned'} from "
                                     f"{pending['from']}, {a(dynamic)}: only its `{cls}` part "
                                     f"is copied; {', '.join(f'`{n}`' for n in left)} "
                                     f"{'is' if len(left) == 1 else 'are'} left behind",
                           function=frame["function"])
        self.pending[frame["key"]] = pending

    def live(self, fields, released=False):
        """{field: block id} of the pointer fields that point to a live block
        (or, with released, to any block)."""
        found = {}
        for part in flat(fields):
            start = self.start_of(part.get("pointer") or 0)
            if start is not None and (released or self.blocks[start]["state"] == "live"):
                found[part["name"]] = self.blocks[start]["id"]
        return found

    def returned(self, frames):
        """For each copy or destructor whose frame is gone: what it did, and
        a finding when a copy's field differs from its source's."""
        keys = {f["key"] for f in frames}
        returns = {tuple(r["key"]): r for r in self.returns}
        self.returns = []
        for its_key in [k for k in self.pending if k not in keys]:
            call = self.pending.pop(its_key)
            objects = {o["name"]: o["fields"] for o in returns.get(its_key, {}).get("objects", [])}
            after = self.live(objects.get("this", []), released=True)
            self.calls.append({
                "step": call["step"], "returns": len(self.steps), "kind": call["kind"],
                "class": call["class"], "object": call["object"], "before": call["blocks"],
                "blocks": after, "gone": sorted(f for f, b in after.items()
                                                if self.by_id[b]["state"] != "live"),
                "released": self.released_by(call)})
            if "source" in objects and call["source"] != call["this"]:
                self.differs(call, objects["this"], objects["source"])
                theirs = set(self.live(objects["source"]).values())
                for block in sorted(set(self.live(objects["this"]).values()) & theirs):
                    if not self.already("shared block", block):  # seen as the copy returns
                        self.found("shared block", f"{call['object']} and {call['from']} hold "
                                   f"one block, block {block}, where each should own a block "
                                   f"of its own: {call['function']} made them share it",
                                   block=block, function=call["function"], step=len(self.steps))

    def released_by(self, call):
        """The shown blocks released while the call ran, by it or what it
        called: not the object's own block, which delete releases after the
        destructor, nor what a container releases around it."""
        return [b["id"] for start, b in self.blocks.items() if b["shown"]
                and call["function"] in b.get("releasers", ()) and start != call["this"]
                and b.get("released_at", -1) >= call["step"]]

    def differs(self, call, mine, theirs):
        """A field of the copy that differs from its source's: a block by
        what it holds, anything else by its value."""
        for left, right in zip(flat(mine), flat(theirs)):
            if self.held(left) != self.held(right):
                self.found("copy differs", f"after the {call['kind']}, "
                           f"`{call['object'].strip('`')}.{left['name']}` is {self.held(left)} "
                           f"where `{call['from'].strip('`')}.{right['name']}` is "
                           f"{self.held(right)}: a copy copies every member (C.61)",
                           function=call["class"], step=len(self.steps))

    def held(self, part):
        """A field's value for comparing copies: a block's contents, not where."""
        start = self.start_of(part.get("pointer") or 0)
        if start is None:
            return part.get("value", "nullptr" if part.get("pointer") == 0 else
                            hex(part.get("pointer", 0)))
        block = self.blocks[start]
        if block.get("elements"):
            return " ".join(e["value"] for e in block["elements"])
        return f'"{block.get("text", "")}"' if "text" in block else f"block {block['id']}"
