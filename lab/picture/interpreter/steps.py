"""The steps of a run: each step record taken into the Run as the step the
page draws (its frames with their objects, its blocks, what it runs), and
the end of the run.
"""
import re

from lab.picture.interpreter import captions, findings, heap, lives
from lab.picture.interpreter.drawing import built, field, shown
from lab.picture.schema import member


# Drawn below the newest calls when older ones are left out (a deep recursion).
OLDER = {"function": "older calls, left out: a step draws only the newest", "at": None,
         "objects": []}


def on_step(run, raw):
    as_before(run, raw)
    heap.settle(run)
    state = run.frames
    state.sp = raw["sp"]
    keys = [tuple(f["key"]) for f in raw["frames"]]
    state.now = {key: f["line"] for key, f in zip(keys, raw["frames"])}
    state.objects_now = sorted((o["address"], o["address"] + max(o.get("size", 1), 1),
                                elements(o))
                               for o in raw["globals"] + [o for f in raw["frames"]
                                                          for o in f["objects"]]
                               if "address" in o and "refers" not in o)
    state.parts_now = {at: name for o in raw["globals"] + [o for f in raw["frames"]
                                                            for o in f["objects"]]
                       for at, name in parts(o["name"], o)}
    before = run.steps[-1] if run.steps else None
    oldest = keys[0][1] if raw.get("older") else None  # frames above it run still, undrawn
    returned_frames(run, before, keys, oldest)
    for start, read in raw["blocks"].items():
        heap.read(run, int(start), read, lambda item: field(run, item))
    frames = frames_of(run, raw, keys)
    lives.destroyed(run, raw.get("destroying", []), frames)
    lives.unset(run, frames, raw["frames"])
    globals_ = [shown(run, o, True) for o in raw["globals"]]
    marks = touched(run, raw["subscripts"], frames[-1])
    findings.returned(run, frames, oldest)
    says, facts = captions.says(run, frames, before)
    if "virtual" in facts:
        run.calls.virtual.append({"step": len(run.steps), **facts["virtual"]})
    step = {"at": frames[-1]["at"], "function": frames[-1]["function"], "says": says,
            "out": raw["out"], "err": raw["err"],
            **({"in": raw["read"]} if "read" in raw else {}),
            "frames": ([{"function": "globals", "at": None, "objects": globals_}]
                       if globals_ else []) + ([OLDER] if oldest else []) + frames,
            "blocks": lives.thrown(run) + heap.drawn(run, marks)}
    run.steps.append(step)
    findings.shared(run, step)
    findings.dangling(run, step)
    findings.entered(run, step, facts.get("copy of"))


def parts(name, item):
    """(address, name) of each element or field inside a variable that has
    an address of its own: row[1], counts["and"] (a map's pair)."""
    for part in item.get("fields", []):
        if "base" in part:
            yield from parts(name, part)
            continue
        named = name + (part["name"] if part["name"].startswith("[") else "." + part["name"])
        if "pair at" in part:
            yield part["pair at"], named
        if "address" in part:
            yield part["address"], named
        yield from parts(named, part)


def elements(item):
    """How many elements an array variable holds (0 for any other)."""
    return int(re.search(r"\[(\d+)\]$", item["type"]).group(1)) if re.search(
        r"\[\d+\]$", item.get("type", "")) else 0


def as_before(run, raw):
    """The objects and globals the observer said are as at the step before."""
    state = run.frames
    for frame in raw["frames"]:
        if frame.get("objects as before"):
            frame["objects"] = state.objects_before.get(tuple(frame["key"]), [])
    state.objects_before = {tuple(f["key"]): f["objects"] for f in raw["frames"]}
    if raw.get("globals as before"):
        raw["globals"] = state.globals_before
    state.globals_before = raw["globals"]


def returned_frames(run, before, keys, oldest):
    """The objects of the frames that have returned since the step before
    are gone; a frame older than the oldest drawn has not returned."""
    for frame in before["frames"] if before else []:
        if frame.get("key") and frame["key"] not in keys and not (
                oldest and frame["key"][1] > oldest):
            run.frames.activation.pop(frame["key"], None)
            for o in frame["objects"]:
                if "address" in o:
                    run.frames.gone.died(
                        int(o["address"], 16), o.get("size", 1), o["name"], frame["function"],
                        frame["caller"] if o["name"] in frame["by value"] else None,
                        len(run.steps))


def frames_of(run, raw, keys):
    """The step's frames as the page draws them, each object built or not
    yet by the lines its call has been at."""
    state, frames = run.frames, []
    building = {o["refers"] for f in raw["frames"] for o in f["objects"]
                if o["name"] == "this" and "constructor" in (member(f["function"])[1] or "")
                and "refers" in o}
    for index, frame in enumerate(raw["frames"]):
        its_key = keys[index]
        if its_key not in state.activation:  # a new call, even from the same place
            state.activation[its_key] = len(state.seen_lines)
            state.seen_lines[state.activation[its_key]] = set()
            state.started[its_key] = len(run.steps)
        lines = state.seen_lines[state.activation[its_key]]
        newest = index == len(raw["frames"]) - 1
        objects = [shown(run, o, built(o, frame["line"], newest, lines, building))
                   for o in frame["objects"]]
        seen_before = set(lines)
        lines.add(frame["line"])
        frames.append({"function": run.named(frame["function"]), "at": frame["at"],
                       "objects": objects, "key": its_key, "entry": frame.get("entry", {}),
                       "raw function": frame["function"], "seen": seen_before,
                       "caller": (keys[index - 1], raw["frames"][index - 1]["line"])
                       if index else None,
                       "by value": {o["name"] for o in frame["objects"] if o.get("by value")}})
    return frames


def touched(run, subscripts, newest):
    """{block id: [element]} of the elements a subscript of the line reads,
    where its index is built; a subscript past an array's end is found."""
    built_now = {o["name"] for o in newest["objects"] if "state" not in o}
    marks = {}
    for base, index, pointer, number, *count in subscripts:
        if count and count[0] and (index.isdigit() or index in built_now) \
                and not 0 <= number < count[0]:
            past_an_array(run, newest, base, number, count[0])
        start = run.heap.start_of(pointer)
        block = run.heap.blocks.get(start)
        if (index.isdigit() or index in built_now) and block and block.get("elements"):
            size = block["element size"]
            marks.setdefault(block["id"], []).append((pointer - start) // size + number)
    return marks


def past_an_array(run, newest, base, number, count):
    """A subscript outside an array of its own (a local, a member): the
    line reads or writes what is not the array's."""
    name = base.replace("this->", "")
    if not any(f["kind"] == "past the end" and f.get("holder") == name for f in run.findings):
        run.found("past the end", f"`{captions.line_of(run, newest['at'])}` uses `{name}[{number}]`"
                                  f", outside `{name}` ([0] to [{count - 1}]): what it reads or "
                                  "writes there is another object's memory, or none",
                  holder=name, function=newest["function"], step=len(run.steps))


def on_end(run, record):
    heap.settle(run)
    run.end, run.broke = record["how"], record.get("traceback")
    if run.broke:
        run.note("the tracer broke here; what it said:\n" + run.broke)
    if run.steps and record["how"].startswith("exit"):
        findings.returned(run, [])
        last = run.steps[-1]
        run.steps.append({**last, "function": "", "says": f"the program has ended: "
                          f"{record['how']}", "out": record["out"], "err": record["err"],
                          "frames": [], "blocks": heap.drawn(run, {})})
        findings.leaks(run, run.steps[-2])
