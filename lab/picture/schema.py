"""The contract of make picture, written once: what the observer (observe.py,
inside GDB) writes, and the trace the interpreter (interpret.py) makes of
it for the page and the tests. check_raw and check_trace enforce it; the
interpreter calls both, and so do the tests on every trace they make.

Raw records, one JSON object a line, each with "record" naming its kind:

  source  path, text           a source file, the first time a step is in it
  event   event (one of EVENTS), start, size, access (read, write, unknown),
          mapping, mapped (the block's pages, its closed page included),
          callers [[function, FILE:LINE or null]], innermost first
  fault   address, again (the same stop twice: not the recorder's), library
          (the routine it stopped in, or null), function, at
  throw   type, address: an exception thrown; catch: a handler takes it;
  catch   handled: a handler ends (type and address null)
  handled
  return  key, objects? [{name: this or source, type, fields}]: a copy's
          object and its source as the copy returned
  step    sp, out, err (bytes written so far), frames [{function, at, line,
          starts (its function's first line), key, objects [value] (or
          objects as before: true, as at the step before), entry?}],
          globals [value] (or globals as before: true), subscripts [[base,
          index, pointer, value]], blocks {start: read}, read? (the bytes of
          its input file read so far), destroying [{key, this, class,
          fields}] (each object a destructor running now ends), older?
          (true: the frames are the newest only, older calls run still)
  broken  part, traceback: a part of the next step the observer could not
          read, by a fault of its own; the step is written without it
  end     how, traceback (or null), out, err

A value: {name, type} and one of: refers (an address; global, library
name); fields [value or {base, fields}]; pointer with target {kind, type,
size}; value (text); unreadable (why). A variable adds line and argument
(and by value, for an object its caller passed by value);
an object in memory adds address and size. A frame's entry, on its first
step: virtual and through (the static type a virtual member is called
through), pure (that type's function has no body: it never runs), local and outer local (the caller's local at `this`), call
{kind, class, this, fields?, source?, dynamic?, static fields?, dynamic
fields?} for a copy or destructor. A read: {object {type, fields}},
{elements [text], element size}, {bytes (hex)} or {unreadable}.

The trace, one JSON object:

  program or test   what was run
  end, why          how the run ended and what that means in the lesson's words
  output, errors    the program's standard output and standard error, whole
  input, terminal   for a program that reads a file: the file, and the
                    output with each input line shown where it was read
  sources           {path: text} of every source a step shows
  findings          [{step, kind (one of KINDS), says, function, block?, holder?}]
  calls             [{step, returns, kind, class, object, before, blocks, gone,
                    released}]: each copy and destructor of a project class,
                    the blocks its object's pointer fields held before and
                    after ({field: block}; gone: the fields whose block was
                    released by then), the shown blocks the call released
                    (not the object's own, which delete releases after it)
  questions         [{step, returns, technique, ask, choices [{say, right}],
                    truth}]: predict mode's questions besides copies and
                    destructors, asked at step and answered at returns
  failures          [{step, at, sentence, detail}]: a drawn test's failed expectations
  notes             [{step, says}]: what the picture could not follow or read
  warnings          what the compiler said of the files drawn (draw.py adds it)
  pieces            the distinct objects and blocks of all steps, each once
  steps             [{at, function, says, out, err, frames, blocks}]: out and
                    err count UTF-16 units of output and errors so far
                    (in: of the input read, term: of the terminal shown);
                    frames [{function, at, objects: [piece]}], outermost
                    first, the first "globals" when there are any; blocks
                    [piece]

An object piece: {name, type, address, size, fields: [field or {base, fields}]},
a plain value {name, type, value, block?, element?, refers?, dangling?}, or
one not built yet {name, type, state, address?}; a field whose initializer
has not run {name, state: "not set yet"}; an object whose destructor
runs has state "being destroyed" and its fields. A block piece: {id,
address, size, state (one of STATES), at, array, touched?, and object,
elements [{index, value}] or text}.
"""
import json
import re

KINDS = ("shared block", "use after free", "double free", "leak", "kept to the end",
         "past the end", "dangling", "copy differs", "sliced", "bad release")
STATES = ("live", "released", "given back")
EVENTS = ("allocated", "released", "released again", "bad release", "pages reused", "faulted")
RAW = {"source": {"path": str, "text": str},
       "event": {"event": str, "start": int, "size": int, "access": str, "mapping": int,
                 "mapped": int, "callers": list},
       "fault": {"address": int, "again": bool},
       "return": {"key": list}, "throw": {}, "catch": {}, "handled": {},
       "step": {"sp": int, "out": int, "err": int, "frames": list, "subscripts": list,
                "blocks": dict},
       "broken": {"part": str, "traceback": str},
       "end": {"how": str, "out": int, "err": int}}
TRACE = {"end": str, "why": str, "output": str, "errors": str, "sources": dict,
         "findings": list, "calls": list, "failures": list, "notes": list, "pieces": list,
         "steps": list}
STEP = {"at": str, "function": str, "says": str, "out": int, "err": int, "frames": list,
        "blocks": list}


def member(function):
    """(class, which special member in the lesson's words) of a function, or
    (class, None); (None, None) for a free function."""
    match = re.match(r"(.*)::(~?\w+|operator=)\((.*)\)( const)?$", function)
    if not match:
        return None, None
    cls, name, params = match.group(1), match.group(2), match.group(3)
    short = cls.split("::")[-1].split("<")[0]
    copy = params == f"{cls} const&"
    return cls, {short: "copy constructor" if copy else "constructor",
                 "~" + short: "destructor",
                 "operator=": "copy assignment" if copy else None}.get(name)


class Broken(ValueError):
    """A record or trace that breaks the contract."""


def fields(what, item, expected):
    if not isinstance(item, dict):
        raise Broken(f"{what} is not an object: {str(item)[:80]}")
    for name, kind in expected.items():
        if not isinstance(item.get(name), kind):
            raise Broken(f"{what} needs {name} as {kind.__name__}: {str(item)[:120]}")


def check_raw(record):
    """Raises Broken unless record is a raw record of a known kind."""
    kind = record.get("record") if isinstance(record, dict) else None
    if kind not in RAW:
        raise Broken(f"a raw record of no known kind: {str(record)[:80]}")
    fields(f"a {kind} record", record, RAW[kind])
    if kind == "event" and record["event"] not in EVENTS:
        raise Broken(f"an event of no known kind: {record['event']}")
    if kind == "step" and record.get("globals as before") is not True:
        fields("a step record", record, {"globals": list})
    for frame in record.get("frames", []):
        fields("a frame", frame, {"function": str, "line": int, "key": list})
        if frame.get("objects as before") is not True:
            fields("a frame", frame, {"objects": list})


def check_trace(trace):
    """Raises Broken unless trace is a whole trace the page can draw."""
    fields("the trace", trace, TRACE)
    for finding in trace["findings"]:
        fields("a finding", finding, {"step": int, "kind": str, "says": str})
        if finding["kind"] not in KINDS:
            raise Broken(f"a finding of no known kind: {finding['kind']}")
        if not 0 <= finding["step"] < max(len(trace["steps"]), 1):
            raise Broken(f"a finding at step {finding['step']} of {len(trace['steps'])}")
    for step in trace["steps"]:
        fields("a step", step, STEP)
        for number in step["blocks"] + [p for f in step["frames"] for p in f["objects"]]:
            if not 0 <= number < len(trace["pieces"]):
                raise Broken(f"a step names piece {number} of {len(trace['pieces'])}")
    for piece in trace["pieces"]:
        if "id" in piece and piece["state"] not in STATES:
            raise Broken(f"a block in no known state: {piece['state']}")
