"""The interpreter of make picture, plain Python with no GDB: reads the
observer's raw records (schema.RAW) and derives the trace the page draws
(schema.TRACE). A run's state is data (state.Run); each kind of record is
taken in by a function of its own: heap.py the recorder's events and
faults, steps.py the steps, lives.py the throws and handlers; findings.py
finds what went wrong, captions.py words the steps and questions.py asks
predict mode's questions, each over that data. Nothing outlives one call.
"""
import json
import os

from lab.picture import schema
from lab.picture.interpreter import captions, heap, lives, questions, steps
from lab.picture.interpreter.pieces import Pieces
from lab.picture.interpreter.state import Run


def on_source(run, record):
    run.sources[record["path"]] = record["text"].splitlines()


def on_return(run, record):
    run.calls.returns.append(record)


def on_broken(run, record):
    run.note(f"the picture could not read {record['part']} here, by a fault of its own; the "
             f"step is drawn without it. What it said:\n{record['traceback']}",
             step=len(run.steps))


TAKE = {"broken": on_broken, "source": on_source, "event": heap.on_event, "fault": heap.on_fault,
        "return": on_return, "step": steps.on_step, "end": steps.on_end,
        "throw": lives.on_throw, "catch": lives.on_catch, "handled": lives.on_handled}


AHEAD = 4096  # the bytes of its input the page keeps past what a program read


def kept_input(records, path):
    """(the start of the input file the page keeps, the file's size): what
    the run read and AHEAD bytes more, not a file of any size whole."""
    read = max((r.get("read", 0) for r in records if r.get("record") == "step"), default=0)
    with open(path, "rb") as typed:
        return typed.read(read + AHEAD), os.fstat(typed.fileno()).st_size


def interpret(records, settings, output=b"", errors=b"", failures=(), typed=b"",
              typed_size=None):
    """The trace of a run from its raw records (checked against schema.RAW),
    its output and errors as bytes, a drawn test's failure records, and
    the start of the input file it read (of typed_size bytes in all)."""
    run = Run(test=settings.get("test"))
    for record in records:
        schema.check_raw(record)
        TAKE[record["record"]](run, record)
    if run.end is None:
        steps.on_end(run, {"how": "the tracer's records end early", "out": len(output),
                           "err": len(errors)})
    left = (typed_size or len(typed)) - len(typed)
    if left > 0:
        run.note(f"the input file's last {left} bytes are left out of the page: the "
                 f"program never read them (the page keeps what it read and {AHEAD} "
                 "bytes more)")
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
             "notes": run.notes, "calls": run.calls.done, "questions": asked,
             "sources": {path: "\n".join(lines) for path, lines in run.sources.items()}}
    pieces, blocks, numbers = Pieces(), [], []
    for step in run.steps:
        step["frames"] = [{"function": f["function"], "at": f["at"],
                           "objects": [pieces(o, (depth, f["function"], number))
                                       for number, o in enumerate(f["objects"])]}
                          for depth, f in enumerate(step["frames"])]
        if len(step["blocks"]) != len(blocks) or any(
                a is not b for a, b in zip(step["blocks"], blocks)):  # most are as before
            blocks, numbers = step["blocks"], [pieces(b) for b in step["blocks"]]
        step["blocks"] = numbers
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
