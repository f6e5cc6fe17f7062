"""What went wrong in a run, found where it happens: functions over the
Run of what memory shows (a shared block, a dangling pointer or reference,
a leak) and of what a copy or destructor shows once it returns (a sliced
copy, a field the copy did not copy).
"""
import re

from lab.picture.interpreter import captions
from lab.picture.interpreter.captions import a
from lab.picture.interpreter.state import flat


def shared(run, step):
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
    last = run.steps[-2]["function"] if len(run.steps) > 1 else "??"
    for block in sorted({b["id"] for b in run.heap.blocks.values()
                         if b["state"] == "live" and b["shown"]}
                        & set(holders)):
        if len(holders[block]) > 1 and not run.already("shared block", block):
            held = " and ".join(objects[h][0] for h in sorted(holders[block]))
            run.found("shared block", f"{held} hold one block, block {block}, where each "
                                       f"should own a block of its own: {last} made them "
                                       "share it", block=block, function=last)


def dangling(run, step):
    """A pointer or reference, a member one too, into an object whose
    frame has returned, found the first step the line that runs uses it."""
    frame = step["frames"][-1]
    line = captions.line_of(run, frame["at"])
    for item in frame["objects"]:
        for part in flat(item.get("fields", [item])):
            gone = part.get("dangling")
            if gone and re.search(rf"\b{re.escape(item['name'])}\b", line) and not any(
                    f["kind"] == "dangling" and f.get("holder") == item["name"]
                    for f in run.findings):
                name = item["name"] + ("" if part is item else "." + part["name"])
                run.found("dangling", f"`{name}` {'refers to' if 'refers' in part else 'points to'} "
                                       f"{gone}, whose frame has returned: that object is "
                                       f"gone, and `{line}` uses what is left in its place",
                           holder=item["name"], function=frame["function"])


def leaks(run, last):
    """At the end, a block still live is a leak, unless a variable of
    static storage still points to it: then it was kept to the end."""
    kept = {part.get("block"): item["name"] for frame in last["frames"][:1]
            if frame["function"] == "globals" for item in frame["objects"]
            for part in flat(item.get("fields", [item]))}
    for block in run.heap.blocks.values():
        if block["state"] == "live" and block["shown"]:
            holder = kept.get(block["id"])
            run.found("kept to the end" if holder else "leak",
                       f"block {block['id']} ({block['size']} bytes, allocated at "
                       f"{block['at']}) was never released" + (
                           f"; `{holder}` still points to it as the program ends"
                           if holder else ""), function="")


# Copies and destructors: what they did, seen once they return.

def entered(run, step, copy_of):
    """At the first step of a copy or destructor of a project class: what
    it works on, for the page's question and the checks on its return; a
    copy from a derived object is sliced. copy_of: the words for a copy
    made for a call's by-value parameter, when the step enters one."""
    frame = step["frames"][-1]
    call = frame["entry"].get("call")
    if not call:
        return
    kind, cls, this = call["kind"], call["class"], call["this"]
    local = frame["entry"].get("local")
    pending = {"step": len(run.steps) - 1, "kind": kind, "class": cls, "this": this,
               "function": frame["raw function"],
               "object": captions.name_of(this, step) or (f"`{local}`" if local else None)
               or copy_of or f"the `{cls}`",
               "blocks": run.heap.live(call.get("fields", []))}
    if "source" in call:
        pending.update(source=call["source"],
                       **{"from": captions.name_of(call["source"], step) or "its source"})
        copied_from_gone(run, step, pending)
        dynamic = call.get("dynamic")
        if dynamic and dynamic != cls and not captions.base_part(this, step["frames"]):
            static = {f["name"] for f in flat(call["static fields"])}
            left = [f["name"] for f in flat(call["dynamic fields"]) if f["name"] not in static]
            run.found("sliced", f"{pending['object']} is {a(cls)} "
                                 f"{'built' if 'constructor' in kind else 'assigned'} from "
                                 f"{pending['from']}, {a(dynamic)}: only its `{cls}` part "
                                 f"is copied; {', '.join(f'`{n}`' for n in left)} "
                                 f"{'is' if len(left) == 1 else 'are'} left behind",
                       function=frame["function"])
    run.calls.pending[frame["key"]] = pending


def copied_from_gone(run, step, call):
    """A copy whose source is an object of a frame that returned while the
    line making the copy ran (a function that returned a reference to its
    own local): the copy reads a destroyed object through a dangling
    reference."""
    frames = [f for f in step["frames"] if f.get("key")]
    dead = run.frames.gone.holding(call["source"])
    if len(frames) < 2 or not dead or run.frames.drawn_at(call["source"]) is not None:
        return
    if dead[6] < run.frames.started.get(frames[-2]["key"], len(run.steps)):
        return  # it died before this line's call began: another object is there now
    call["dangling"] = True
    if any(f["kind"] == "dangling" and f["step"] == len(run.steps) - 1 for f in run.findings):
        return  # the copy's own reference to it is found already
    line = captions.line_of(run, frames[-2]["at"])
    run.found("dangling", f"`{line}` copies from `{dead[2]}` of {dead[3]}, whose frame has "
                          f"returned: what {dead[3]} returned refers to an object that is "
                          "gone, and the copy reads what is left in its place",
              holder=dead[2], function=frames[-2]["function"])


def returned(run, frames, oldest=None):
    """For each copy or destructor whose frame is gone (not older than the
    oldest frame drawn, oldest): what it did, and a finding when a copy's
    field differs from its source's."""
    keys = {f["key"] for f in frames}
    returns = {tuple(r["key"]): r for r in run.calls.returns}
    run.calls.returns = []
    for its_key in [k for k in run.calls.pending
                    if k not in keys and not (oldest and k[1] > oldest)]:
        call = run.calls.pending.pop(its_key)
        objects = {o["name"]: o["fields"] for o in returns.get(its_key, {}).get("objects", [])}
        after = run.heap.live(objects.get("this", []), released=True)
        run.calls.done.append({
            "step": call["step"], "returns": len(run.steps), "kind": call["kind"],
            "class": call["class"], "object": call["object"], "before": call["blocks"],
            "blocks": after, "gone": sorted(f for f, b in after.items()
                                            if run.heap.by_id[b]["state"] != "live"),
            "released": released_by(run, call)})
        if "source" in objects and call["source"] != call["this"] and not call.get("dangling"):
            differs(run, call, objects["this"], objects["source"])
            theirs = set(run.heap.live(objects["source"]).values())
            for block in sorted(set(run.heap.live(objects["this"]).values()) & theirs):
                if not run.already("shared block", block):  # seen as the copy returns
                    run.found("shared block", f"{call['object']} and {call['from']} hold "
                               f"one block, block {block}, where each should own a block "
                               f"of its own: {call['function']} made them share it",
                               block=block, function=call["function"], step=len(run.steps))


def released_by(run, call):
    """The shown blocks released while the call ran, by it or what it
    called: not the object's own block, which delete releases after the
    destructor, nor what a container releases around it."""
    return [b["id"] for start, b in run.heap.blocks.items() if b["shown"]
            and call["function"] in b.get("releasers", ()) and start != call["this"]
            and b.get("released_at", -1) >= call["step"]]


def differs(run, call, mine, theirs):
    """A field of the copy that differs from its source's: a block by
    what it holds, anything else by its value."""
    for left, right in zip(flat(mine), flat(theirs)):
        if held(run, left) != held(run, right):
            run.found("copy differs", f"after the {call['kind']}, "
                       f"`{call['object'].strip('`')}.{left['name']}` is {held(run, left)} "
                       f"where `{call['from'].strip('`')}.{right['name']}` is "
                       f"{held(run, right)}: a copy copies every member (C.61)",
                       function=call["class"], step=len(run.steps))


def held(run, part):
    """A field's value for comparing copies: a block's contents, not where."""
    start = run.heap.start_of(part.get("pointer") or 0)
    if start is None:
        return part.get("value", "nullptr" if part.get("pointer") == 0 else
                        hex(part.get("pointer", 0)))
    block = run.heap.blocks[start]
    run.heap.show(block)  # a copy's field holds it
    if block.get("elements"):
        return " ".join(e["value"] for e in block["elements"])
    return f'"{block.get("text", "")}"' if "text" in block else f"block {block['id']}"
