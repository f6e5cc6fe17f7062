"""One step as the observer writes it: the project's frames with their
variables, the globals, what the line subscripts, the copies and
destructors running, and what the blocks reached hold. Each part is read
on its own: one that fails leaves its traceback for the page, and the
rest of the step is still written. Runs inside GDB.
"""
import os
import re
import traceback
from pathlib import Path

import gdb

from lab.picture.observer.calls import Calls
from lab.picture.observer.values import (FAILS, contents, function_of, is_test_body, key,
                                         pointers_in, statics)


class Steps:
    """The steps of one run: what each step read, to tell the next what is
    as before."""

    def __init__(self, observer):
        self.observer, self.project = observer, observer.project
        self.memory = observer.memory  # the recorder's blocks, and values as they are
        self.count = 0
        self.keys = set()  # the frames of the last step
        self.calls = Calls(observer)  # the copies and destructors running
        self.statics = {}  # a source file: its variables of static storage
        self.objects, self.globals = {}, None  # frame key: its objects; the globals, at the last step
        self.located = {}  # (frame key, name, line): a plain local's address and type
        self.broken = []  # the parts of this step that failed: (part, traceback)
        self.outermost = None  # the source file of the outermost frame, when last drawn
        self.in_flight = False  # an exception is on its way to a handler
        self.leaving = {}  # frame key: {name: (line, address, type)} of the objects it
        # takes out of scope, drawn until their destructors run

    def contained(self, part, read, otherwise):
        """read() or, when it raises, otherwise, with the traceback kept
        for the page: a fault in one part is no reason to lose the step."""
        try:
            return read()
        except (gdb.error, KeyboardInterrupt):
            raise  # the inferior went away, or the time cap: the run's end, not a part's
        except Exception:  # noqa: a bug of this picture's, shown on the page with its traceback
            self.broken.append({"part": part, "traceback": traceback.format_exc()})
            return otherwise

    def write(self, frames):
        """Writes the step now: its frames, their variables, what the line
        subscripts, and what the blocks reached hold."""
        self.broken = []
        capped = self.observer.capped
        shown, keys = self.frames(frames)
        before, self.objects = self.objects, {f["key"]: f["objects"] for f in shown}
        globals_ = self.contained("the globals",
                                  lambda: self.globals_of(None if capped else frames[0]), [])
        returns = self.contained("the copies that returned",
                                 lambda: self.calls.returned(keys, keys[0][1] if capped else None),
                                 [])
        destroying = self.contained("the objects being destroyed", lambda: [
            {"key": list(k), "this": c["this"], "class": c["class"],
             "fields": self.calls.object_at(c["this"], c["class"])}
            for k, c in self.calls.pending.items() if c["kind"] == "destructor"], [])
        pointers = pointers_in(globals_ + [o for f in shown for o in f["objects"]]
                               + [o for r in returns for o in r.get("objects", [])]
                               + [f for d in destroying for f in d["fields"]])
        subscripts = self.contained("the line's subscripts",
                                    lambda: self.subscripts(frames[-1], shown[-1]["at"]), [])
        blocks = self.contained("the blocks", lambda: {
            str(k): v for k, v in contents(self.memory, pointers).items()}, {})
        for frame in shown:  # most frames' objects are as the step before: said so, shorter
            if frame["objects"] == before.get(frame["key"]):
                del frame["objects"]
                frame["objects as before"] = True
        same_globals, self.globals = globals_ == self.globals, globals_
        self.keys = set(keys)
        read = self.contained("how much input was read", self.input_read, None)
        settings = self.project.settings
        for broken in self.broken:
            self.observer.write(record="broken", **broken)
        self.observer.write(
            record="step", sp=int(frames[-1].read_register("rsp")),
            **({"read": read} if read is not None else {}),
            out=os.path.getsize(settings["output"]), err=os.path.getsize(settings["errors"]),
            frames=shown, **({"globals as before": True} if same_globals else
                             {"globals": globals_}), **({"older": True} if capped else {}),
            destroying=destroying, subscripts=subscripts, blocks=blocks)
        self.count += 1

    def frames(self, frames):
        """The frames as the step writes them, and their keys."""
        functions = [frame.function() for frame in frames]
        names = [f.print_name if f else function_of(frame) for f, frame in zip(functions, frames)]
        keys = [key(frame, name) for frame, name in zip(frames, names)]
        shown = []
        for frame, its_key, function, name in zip(frames, keys, functions, names):
            shown.append({"function": name, "at": self.observer.at(frame),
                          "line": frame.find_sal().line, "key": its_key,
                          "objects": self.contained(f"the variables of {name}",
                                                    lambda: self.variables(frame, its_key), []),
                          "starts": function.line if function else 0})
            if its_key not in self.keys and frame is frames[-1] and len(frames) > 1:
                shown[-1]["entry"] = self.contained(f"how {name} was called",
                                                    lambda: self.calls.entered(frame, frames), {})
        for frame in shown:  # once the destructors that run now are known
            frame["objects"] += self.contained(f"the objects {frame['function']} unwinds",
                                               lambda: self.unwound(frame["key"],
                                                                    frame["objects"]), [])
        return shown, keys

    def unwound(self, its_key, objects):
        """The objects of a frame that an exception in flight has taken out
        of scope and whose destructors have not run yet: drawn as they are
        until then, as the language destroys them only as it unwinds."""
        if self.in_flight:
            now = {o["name"] for o in objects}
            for item in self.objects.get(its_key, []):
                spot = (its_key, item["name"], item["line"])
                if item["name"] not in now and "fields" in item and spot in self.located:
                    self.leaving.setdefault(its_key, {})[item["name"]] = (
                        item["line"], *self.located[spot][:2])
        ending = {c["this"] for c in self.calls.pending.values() if c["kind"] == "destructor"}
        found = []
        for name, (line, address, kind) in list(self.leaving.get(its_key, {}).items()):
            if address in ending:  # its destructor runs: drawn as being destroyed
                del self.leaving[its_key][name]
                continue
            value = gdb.Value(address).cast(kind.pointer()).dereference()
            found.append({**self.memory.value(name, value), "line": line, "argument": False})
        return found

    def globals_of(self, outermost):
        """The variables of static storage of the outermost frame's file;
        those of the last one seen while the outermost frame is not drawn."""
        if outermost is not None:
            self.outermost = outermost.find_sal().symtab.filename
            if self.outermost not in self.statics:
                self.statics[self.outermost] = statics(outermost)
        return [self.memory.value(s.name.replace("(anonymous namespace)::", ""), s.value())
                for s in self.statics.get(self.outermost, [])]

    def input_read(self):
        """How much of its input file the program has read: the file's
        offset less what standard input's buffer holds unread; None when
        it reads no file."""
        if not self.project.settings.get("input"):
            return None
        try:  # its standard input is the file: its offset is in /proc
            pid = gdb.selected_inferior().pid
            offset = re.search(r"pos:\s*(\d+)", Path(f"/proc/{pid}/fdinfo/0").read_text())
            unread = int(gdb.parse_and_eval("stdin->_IO_read_end - stdin->_IO_read_ptr"))
        except (OSError, *FAILS):  # the program closed it, or has no stdin symbol
            return None
        return int(offset.group(1)) - unread if offset else None

    def variables(self, frame, its_key):
        """The frame's arguments and locals in scope, in declaration order,
        each with its line and whether it is an argument. A name an inner
        scope declares hides the outer one's, as the language looks it up."""
        found, scope, named = [], frame.block(), set()
        while scope is not None and not scope.is_static:  # innermost scope first
            inner = [s for s in scope if (s.is_variable or s.is_argument)
                     and not s.name.startswith(("__", "gtest"))  # GoogleTest's own
                     and not (s.name == "this" and is_test_body(frame)) and s.name not in named]
            found, named = inner + found, named | {s.name for s in inner}
            scope = None if scope.function else scope.superblock
        shown = []
        for symbol in sorted(found, key=lambda s: (not s.is_argument, s.line)):
            spot = (its_key, symbol.name, symbol.line)
            try:
                item = self.located.get(spot) and self.memory.unchanged(
                    symbol.name, *self.located[spot])
                if not item:
                    value = symbol.value(frame)
                    item = self.memory.value(symbol.name, value)
                    code = symbol.type.strip_typedefs().code
                    if value.address is not None and code not in (
                            gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF) and not (
                            symbol.is_argument and code == gdb.TYPE_CODE_STRUCT):
                        # Where it is, while its call runs; not a reference's target
                        # nor a class argument's, which a caller's pointer may give.
                        self.located[spot] = int(value.address), value.type, str(value.type)
            except FAILS as error:
                item = {"name": symbol.name, "type": "?",
                        "unreadable": f"{type(error).__name__}: {error}"}
            passed = symbol.is_argument and \
                symbol.type.strip_typedefs().code == gdb.TYPE_CODE_STRUCT
            shown.append({**item, "line": symbol.line, "argument": symbol.is_argument,
                          **({"by value": True} if passed else {})})
        return shown

    def subscripts(self, frame, at):
        """[base, index, pointer, index's value, elements] of each plain
        subscript on the line (p[i], this->ptr[3], row[i]) that can be read
        without running anything; elements: an array's count, else 0."""
        found, line = [], int(at.rsplit(":", 1)[1]) if at else 0
        for base, index in re.findall(r"((?:this->)?\w+)\s*\[\s*(\w+)\s*\]", self.project.line(at)):
            try:  # the newest frame is the selected one
                declared = gdb.lookup_symbol(base)[0] if "->" not in base else None
                if declared is not None and declared.line == line:
                    continue  # its declaration (int row[5]), no subscript
                number = int(index) if index.isdigit() else int(gdb.parse_and_eval(index))
                value = gdb.parse_and_eval(base)
                kind = value.type.strip_typedefs()
                if kind.code == gdb.TYPE_CODE_ARRAY:  # a local or member array itself
                    found.append([base, index, int(value.address), number, kind.range()[1] + 1])
                else:
                    found.append([base, index, int(value), number, 0])
            except FAILS:
                continue  # not a plain variable here (a macro, a member of another scope)
        return found
