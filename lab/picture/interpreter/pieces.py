"""The trace's interner: each distinct piece (an object or a block as a
step draws it) kept once, the steps holding their numbers.
"""
import json


class Pieces:
    """Keeps each distinct piece once: steps hold their numbers."""

    def __init__(self):
        self.numbers, self.pieces, self.seen, self.last = {}, [], {}, {}

    def __call__(self, piece, place=None):
        """The number of the piece; place: where it is drawn (a frame's
        object), whose piece is most often the same as the step before."""
        if self.seen.get(id(piece), (None,))[0] is piece:  # the very same dict again
            return self.seen[id(piece)][1]
        last = self.last.get(place)
        if last is not None and last[0] == piece:
            return last[1]
        key = json.dumps(piece, sort_keys=True)
        if key not in self.numbers:
            self.numbers[key] = len(self.pieces)
            self.pieces.append(piece)
        self.seen[id(piece)] = (piece, self.numbers[key])  # held: its id stays its own
        if place is not None:
            self.last[place] = (piece, self.numbers[key])
        return self.numbers[key]
