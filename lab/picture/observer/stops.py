"""Where the observer has GDB stop: at every function of the project's
sources, then, the first time a function runs, where the code of each of
its lines begins. The run then goes from line to line at full speed,
stopping where `next` would (a loop's header on each pass). Runs inside GDB.
"""
from pathlib import Path

import gdb

from lab.picture.observer.values import FAILS


def in_functions(top, files, is_project):
    """A breakpoint at every function of the project's sources (and the
    learner's own files): `next` then stops in each one a line calls,
    directly or through the library, and steps over everything else."""
    points = []
    own = [Path(f) for f in files]  # wherever they stand, at any depth
    lessons = sorted(Path(top).glob("*/*.[ch]*")) + sorted(Path(top).glob("tests/*/*.[ch]*"))
    for source in lessons + [f for f in own if f not in lessons]:
        if not is_project(str(source)) or source.suffix not in (".cpp", ".cc", ".cxx", ".h"):
            continue
        named = source.relative_to(top) if source.is_relative_to(top) else source.name
        try:  # by its path in the checkout, or its name: no spaces
            symtab = gdb.decode_line(f"{named}:1")[1][0].symtab
        except gdb.error:
            continue  # not in this program
        points += [quiet(gdb.Breakpoint(source=symtab.filename, line=s.line, internal=True))
                   for block in (symtab.global_block(), symtab.static_block())
                   for s in block if s.is_function and s.line
                   and s.symtab.filename == symtab.filename]
    return points


class Lines:
    """The breakpoints where each line of a function begins, set the first
    time the function runs."""

    def __init__(self):
        self.lined = {}  # a function's start: its line breakpoints

    def stop_at(self, frame):
        try:
            scope, symtab = gdb.block_for_pc(frame.pc()), frame.find_sal().symtab
            while scope.function is None:
                scope = scope.superblock
            if scope.start in self.lined:
                return
            entries = sorted((e.pc, e.line) for e in symtab.linetable()
                             if scope.start <= e.pc < scope.end and e.line)
        except FAILS:
            return
        self.lined[scope.start] = []
        for (pc, line), (_, before) in zip(entries, [(0, None)] + entries):
            if line != before and pc != scope.start:  # not before the frame is set up
                self.lined[scope.start].append(quiet(gdb.Breakpoint(f"*{pc}", internal=True)))

    def points(self):
        return sum(self.lined.values(), [])


def quiet(point):
    """A breakpoint that stops without printing where: the observer reads
    the frames itself, and printing them costs more than the stop."""
    point.silent = True
    return point
