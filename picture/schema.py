"""The trace of make picture: what picture/trace.py writes, draw.py puts in
the page and the tests read. One JSON object:

  program or test   what was run
  end, why          how the run ended ("exit 0", "signal SIGSEGV at F:L",
                    "cut after 5000 steps") and, unless it exited, what that
                    means in the lesson's words
  output, errors    the program's standard output and standard error, whole
  sources           {path: text} of every source a step shows
  findings          [{step, kind, says, block?, function?}], kind one of KINDS
  calls             [{step, returns, kind, class, object, before, blocks,
                    released}]: each copy and destructor of a project class,
                    from its first step to the step after it returned; the
                    blocks its object's pointer fields held before and after
                    ({field: block}), and the blocks released meanwhile (for
                    the page's predictions)
  failures          [{step, at, sentence, detail}]: a drawn test's failed
                    expectations
  notes             [{step, says}]: what the picture could not follow
  pieces            the distinct objects and blocks of all steps, each once
  steps             [{at, function, says, out, err, frames, blocks}]: out
                    and err are how much of output and errors was written;
                    frames [{function, at, objects: [piece]}], outermost
                    first, the first "globals" when there are any; blocks
                    [piece], by id

An object piece: {name, type, address, fields: [field or {base, fields}]},
or a plain value {name, type, value, block?, element?, refers?, dangling?}.
A block piece: {id, address, size, state (live or released), at, array,
and object, elements [{index, value}] or text}.
"""
import json

KINDS = ("shared block", "use after free", "double free", "leak", "kept to the end",
         "past the end", "dangling", "copy differs", "sliced", "bad release")


class Pieces:
    """Keeps each distinct piece once: steps hold their numbers."""

    def __init__(self):
        self.numbers, self.pieces = {}, []

    def __call__(self, piece):
        key = json.dumps(piece, sort_keys=True)
        if key not in self.numbers:
            self.numbers[key] = len(self.pieces)
            self.pieces.append(piece)
        return self.numbers[key]


def step(trace, number):
    """Step number of the trace with its pieces in place and its output so
    far, as the tests read it."""
    shown, pieces = trace["steps"][number], trace["pieces"]
    return {**shown, "output": trace["output"][:shown["out"]],
            "frames": [{**frame, "objects": [pieces[p] for p in frame["objects"]]}
                       for frame in shown["frames"]],
            "blocks": [pieces[p] for p in shown["blocks"]]}


def steps(trace):
    return (step(trace, number) for number in range(len(trace["steps"])))
