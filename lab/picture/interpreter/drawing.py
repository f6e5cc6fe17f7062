"""Variables and fields as the page draws them, from the observer's values:
a reference to what it names, an object's fields, a pointer with the
block it points into or an arrow to the object it points at.
"""
import json


def built(item, line, newest, lines, building):
    """Whether a variable is built: an argument is; a local is once this
    call has been at its declaration's line or past it and has gone on (a
    jump past it, as an exception leaves a try block, builds nothing); on
    that line, once it came round in this call; and in a caller while a
    constructor running now builds it."""
    if item.get("argument"):
        return True
    if item["line"] < line:
        return max(lines, default=0) >= item["line"]
    if item["line"] == line:
        return line in lines if newest else item.get("address") in building
    return False


def shown(run, item, is_built):
    """A variable as the page draws it."""
    if not is_built:
        return {"name": item["name"], "type": item["type"], "state": "not built yet",
                "address": hex(item.get("address", 0))}
    if item["name"] == "this" and item.get("refers") == 0:
        return {"name": "this", "type": item["type"], "state": "not built yet"}
    drawn = {"name": item["name"], "type": item["type"]}
    if "address" in item and "refers" not in item:
        drawn.update(address=hex(item["address"]), size=item["size"])
    return {**drawn, **field(run, item)}


def field(run, item):
    """A field or a variable's value."""
    if "base" in item:
        return {"base": item["base"], "fields": [field(run, f) for f in item["fields"]]}
    drawn = {"name": item["name"]}
    if "unreadable" in item:
        if (item["name"], item["unreadable"]) not in run.unread:
            run.unread.add((item["name"], item["unreadable"]))
            run.note(f"`{item['name']}` could not be read: {item['unreadable']}")
        return {**drawn, "value": "could not be read"}
    if "refers" in item:
        whole = (run.frames.drawn_at(item["refers"]) or (None,))[0] == item["refers"]
        part = None if whole else run.frames.parts_now.get(item["refers"])  # an element, a pair
        drawn.update(refers=hex(item["refers"]),
                     value=item.get("global") or part
                     or item.get("library") or "")
        gone = run.frames.gone_at(item["refers"])
        return {**drawn, **({"dangling": gone} if gone else {})}
    if "fields" in item and not item["fields"]:  # an empty container, say
        return {**drawn, "value": "empty" if item["type"].startswith("std::") else ""}
    if "fields" in item:
        return {**drawn, "type": item["type"],
                "fields": [field(run, f) for f in item["fields"]]}
    if "put area" in item:  # what is written, then how much is free
        put = item["put area"]
        return {**drawn, "value": f"{json.dumps(put['written'], ensure_ascii=False)} "
                                  f"written, {put['free']} free"}
    if "pointer" not in item:
        return {**drawn, "value": item["value"]}
    return {**drawn, **pointer(run, item)}


def pointer(run, item):
    """A pointer: an arrow to an object drawn here, the block it points into
    (drawn from now on), or what it dangles at."""
    address = item["pointer"]
    drawn = {"value": "nullptr" if address == 0 else hex(address)}
    if "into" in item:  # a put area's end: an index into the object's array
        return {"value": f"→ {item['into']}[{item['element']}]"}
    held = run.frames.drawn_at(address) if address else None
    if held is not None:  # a variable drawn here, of any type: an arrow to it
        start, element = held
        return {"value": "", "refers": hex(start), "points": True,
                **({"at element": element} if element is not None else
                   {"inside": True} if start != address else {})}
    start = run.heap.start_of(address)
    if start is not None:
        block = run.heap.blocks[start]
        run.heap.show(block)
        drawn["block"] = block["id"]
        inside = block.get("object", {}).get("at")
        if address != start and item["target"]["size"] and inside != address - start:
            drawn["element"] = (address - start) // item["target"]["size"]
    elif run.frames.gone_at(address):
        drawn["dangling"] = run.frames.gone_at(address)
    return drawn
