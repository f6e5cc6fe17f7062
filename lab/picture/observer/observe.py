"""The observer of make picture, run inside GDB (gdb -batch -x observe.py):
steps one run of a program, or the body of one unit test, line by line
through the project's own code, and writes what it sees as raw records,
one JSON object a line (schema.py's RAW says each kind). It only
observes: values as they are, the recorder's log, and the facts only GDB
knows (a frame's `this`, a dynamic type, whether a member is virtual, an
object's fields when a call returns). What they mean is interpret.py's.
Its settings come as one JSON file named by PICTURE_SETTINGS (settings.py).
"""
import functools
import json
import os
import re
import sys
import time
import traceback
from pathlib import Path

import gdb

SETTINGS = json.loads(Path(os.environ["PICTURE_SETTINGS"]).read_text())
TOP = SETTINGS["top"].rstrip("/") + "/"
sys.path.insert(0, TOP)
from lab.picture.schema import member  # noqa: E402 (after the checkout is on the path)
from lab.picture.observer import stops  # noqa: E402
from lab.picture.observer.values import (FAILS, Memory, enum_names, function_of, is_test_body,  # noqa: E402
                            is_virtual, key, library, out_of_scope, pointers_in, statics,
                            symbol, type_name)


class Observer:
    """One run, observed: its records go to out as they are made."""

    def __init__(self, out):
        self.out = out
        self.steps = 0
        self.memory = Memory()  # the recorder's blocks, and values as they are
        self.keys = set()  # the frames of the last step
        self.sources = set()
        self.places = {}  # return address: [function, FILE:LINE or None]
        self.lines = stops.Lines()  # each line's breakpoints, by function
        self.signal, self.exiting, self.fault_at, self.thrown = None, False, None, None
        self.points = {}  # where to know of: exit, throw, catch, handled (a handler ends)
        self.pending = {}  # copies and destructors running, by their frame
        self.log, self.statics = None, {}
        self.newest_ours = False  # the newest frame, at the last chain(), is the project's
        self.objects, self.globals = {}, None  # frame key: its objects; the globals, at the last step
        self.located = {}  # (frame key, name, line): a plain local's address and type

    def write(self, **record):
        self.out.write(json.dumps(record) + "\n")

    # Where the run is.

    def at(self, frame):
        """FILE:LINE of a frame in the project's own code, or None."""
        try:
            sal = frame.find_sal()
        except gdb.error:
            return None
        name = sal.symtab.filename if sal.symtab else ""
        if not project_file(name):
            return None
        path = name[len(TOP):] if name.startswith(TOP) else name
        if path not in self.sources:
            self.sources.add(path)
            self.write(record="source", path=path,
                       text=Path(name).read_text(errors="replace"))
        return f"{path}:{sal.line}"

    def chain(self):
        """The project's frames, outermost first: up to the test's body, or
        main, since nothing older is the project's (GoogleTest's frames)."""
        frame, found = gdb.newest_frame(), []
        self.newest_ours = bool(self.at(frame))  # a line of the project's runs now
        while frame is not None:
            if self.at(frame):
                found.append(frame)
                if is_test_body(frame) if SETTINGS.get("test") else frame.name() == "main":
                    break
            frame = frame.older()
        return found[::-1]

    def place(self, pc):
        """[function, FILE:LINE in the project or None] of a return address."""
        if pc not in self.places:
            sal, block = gdb.find_pc_line(pc - 1), gdb.block_for_pc(pc - 1)
            name = sal.symtab.filename if sal.symtab else ""
            function = block.function.print_name if block and block.function else symbol(pc - 1)
            self.places[pc] = [function, f"{name[len(TOP):]}:{sal.line}"
                               if project_file(name) else None]
        return self.places[pc]

    # The recorder's log.

    def logged(self):
        """Writes each event of the recorder's log and empties it; the
        record's fields and the event kinds are read by name."""
        if not self.log:  # where the count and the log's address are
            self.log = [int(gdb.parse_and_eval(f"&{name}")) for name in
                        ("picture_logged", "picture_log")]
        memory = gdb.selected_inferior()
        count = int.from_bytes(memory.read_memory(self.log[0], 8), "little")
        if not count:
            return
        kind = gdb.lookup_type("PictureRecord")
        log = int.from_bytes(memory.read_memory(self.log[1], 8), "little")
        raw = bytes(memory.read_memory(log, count * kind.sizeof))
        memory.write_memory(self.log[0], bytes(8))
        fields = {f.name: f for f in kind.fields()}
        names = enum_names("PictureEvent", "picture_")
        accesses = enum_names("PictureAccess", "picture_")

        def word(record, name, index=0):
            field = fields[name]
            size = field.type.target().sizeof if field.type.code == gdb.TYPE_CODE_ARRAY \
                else field.type.sizeof
            at = field.bitpos // 8 + index * size
            return int.from_bytes(record[at:at + size], "little")

        callers = fields["callers"].type.range()[1] + 1
        for at in range(0, len(raw), kind.sizeof):
            record = raw[at:at + kind.sizeof]
            event, start, size = names[word(record, "kind")], word(record, "start"), \
                word(record, "size")
            if event == "allocated":
                self.memory.allocated(start, size)
            self.write(record="event", event=event, start=start, size=size,
                       access=accesses[word(record, "access")],
                       mapping=word(record, "mapping"), mapped=word(record, "mapped"),
                       callers=[self.place(pc) for pc in
                                (word(record, "callers", i) for i in range(callers)) if pc])

    # One step.

    def step(self, frames):
        """Writes the step now: its frames, their variables, what the line
        subscripts, and what the blocks reached hold."""
        self.logged()
        functions = [frame.function() for frame in frames]
        names = [f.print_name if f else function_of(frame) for f, frame in zip(functions, frames)]
        keys = [key(frame, name) for frame, name in zip(frames, names)]
        shown = []
        for frame, its_key, function, name in zip(frames, keys, functions, names):
            line = frame.find_sal().line
            shown.append({"function": name, "at": self.at(frame), "line": line,
                          "key": its_key, "objects": self.variables(frame, its_key),
                          "starts": function.line if function else 0})
            if its_key not in self.keys and frame is frames[-1] and len(frames) > 1:
                shown[-1]["entry"] = self.entered(frame, frames)
        before, self.objects = self.objects, {f["key"]: f["objects"] for f in shown}
        outermost = frames[0].find_sal().symtab.filename
        if outermost not in self.statics:
            self.statics[outermost] = statics(frames[0])
        globals_ = [self.memory.value(s.name.replace("(anonymous namespace)::", ""), s.value())
                    for s in self.statics[outermost]]
        returns = self.returned(keys)
        destroying = [{"key": list(k), "this": c["this"], "class": c["class"],
                       "fields": self.object_at(c["this"], c["class"])}
                      for k, c in self.pending.items() if c["kind"] == "destructor"]
        pointers = pointers_in(globals_ + [o for f in shown for o in f["objects"]]
                               + [o for r in returns for o in r.get("objects", [])]
                               + [f for d in destroying for f in d["fields"]])
        subscripts = self.subscripts(frames[-1], shown[-1]["at"])
        for frame in shown:  # most frames' objects are as the step before: said so, shorter
            if frame["objects"] == before.get(frame["key"]):
                del frame["objects"]
                frame["objects as before"] = True
        same_globals, self.globals = globals_ == self.globals, globals_
        self.keys = set(keys)
        read = self.input_read()
        self.write(record="step", sp=int(frames[-1].read_register("rsp")),
                   **({"read": read} if read is not None else {}),
                   out=os.path.getsize(SETTINGS["output"]),
                   err=os.path.getsize(SETTINGS["errors"]), frames=shown,
                   **({"globals as before": True} if same_globals else {"globals": globals_}),
                   destroying=destroying,
                   subscripts=subscripts,
                   blocks={str(k): v for k, v in self.memory.contents(pointers).items()})
        self.steps += 1

    def input_read(self):
        """How much of its input file the program has read: the file's
        offset less what standard input's buffer holds unread; None when
        it reads no file."""
        if not SETTINGS.get("input"):
            return None
        try:
            pid = gdb.selected_inferior().pid
            offset = re.search(r"pos:\s*(\d+)", Path(f"/proc/{pid}/fdinfo/0").read_text())
            unread = int(gdb.parse_and_eval("stdin->_IO_read_end - stdin->_IO_read_ptr"))
            return int(offset.group(1)) - unread
        except (OSError, AttributeError, *FAILS):
            return None

    def variables(self, frame, its_key):
        """The frame's arguments and locals in scope, in declaration order,
        each with its line and whether it is an argument."""
        found, scope = [], frame.block()
        while scope is not None and not scope.is_static:  # innermost scope first
            found = [s for s in scope if (s.is_variable or s.is_argument)
                     and not s.name.startswith(("__", "gtest"))  # GoogleTest's own
                     and not (s.name == "this" and is_test_body(frame))] + found
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
        """[base, index, pointer, index's value] of each plain subscript on
        the line (p[i], this->ptr[3]) that can be read without running
        anything."""
        found = []
        for base, index in re.findall(r"((?:this->)?\w+)\s*\[\s*(\w+)\s*\]", source_line(at)):
            try:  # the newest frame is the selected one
                number = int(index) if index.isdigit() else int(gdb.parse_and_eval(index))
                found.append([base, index, int(gdb.parse_and_eval(base)), number])
            except FAILS:
                pass
        return found

    def entered(self, frame, frames):
        """The facts of a call's first step: through which static type a
        virtual member is called; for a constructor, copy or destructor,
        the caller's local it works on (in scope or not) and its source."""
        facts = {}
        function = function_of(frame)
        method = re.match(r"(.*)::(\w+)\(", function)
        caller_line = source_line(self.at(frames[-2]))
        used = method and re.search(rf"([\w\[\].]+)\s*(->|\.)\s*{method.group(2)}\s*\(",
                                    caller_line)
        if used and is_virtual(method.group(1), method.group(2)):
            facts["virtual"] = True
            try:
                frames[-2].select()
                facts["through"] = str(gdb.parse_and_eval(used.group(1)).type)
            except FAILS:
                pass
            gdb.newest_frame().select()
        cls, kind = member(function)
        if kind is None:
            return facts
        try:
            this = int(frame.read_var("this"))
        except FAILS:
            return facts
        facts["local"] = out_of_scope(frames[-2], this)
        if len(frames) > 2:
            facts["outer local"] = out_of_scope(frames[-3], this)
        if kind in ("copy constructor", "copy assignment", "destructor"):
            facts["call"] = self.call(frame, kind, cls, this)
        return facts

    def call(self, frame, kind, cls, this):
        """What a copy or destructor works on: its object's fields now, and
        its source's dynamic type with the fields of both types."""
        found = {"kind": kind, "class": cls, "this": this}
        if kind != "copy constructor":
            found["fields"] = self.object_at(this, cls)
        source = next((int(s.value(frame).referenced_value().address) for s in frame.block()
                       if s.is_argument and s.name != "this" and
                       s.type.strip_typedefs().code == gdb.TYPE_CODE_REF), None)
        if source is not None:
            found["source"] = source
            try:
                value = gdb.Value(source).cast(gdb.lookup_type(cls).pointer()).dereference()
                dynamic = str(value.dynamic_type)
                found["dynamic"] = dynamic
                if dynamic != cls:
                    found["dynamic fields"] = self.memory.fields(value.cast(value.dynamic_type), 0)
                    found["static fields"] = self.memory.fields(value, 0)
            except FAILS:
                pass
        self.pending[key(frame)] = found
        return found

    def object_at(self, address, cls):
        try:
            value = gdb.Value(address).cast(gdb.lookup_type(cls).pointer()).dereference()
            return self.memory.fields(value, 0)
        except FAILS as error:
            return [{"name": "*this", "type": cls,
                     "unreadable": f"{type(error).__name__}: {error}"}]

    def returned(self, keys):
        """For each copy or destructor whose frame is gone: its object's
        and its source's fields as it returned."""
        done = []
        for its_key in [k for k in self.pending if k not in keys]:
            call = self.pending.pop(its_key)
            record = {"key": its_key}
            if call["kind"] != "destructor" and alive():
                record["objects"] = [{"name": "this", "type": call["class"],
                                      "fields": self.object_at(call["this"], call["class"])}]
                if "source" in call:
                    record["objects"].append({"name": "source", "type": call["class"],
                                              "fields": self.object_at(call["source"],
                                                                       call["class"])})
            self.write(record="return", **record)
            done.append(record)
        return done

    # The run.

    def fault(self):
        """A stop on a closed page: where, and by what; the recorder's
        handler says whether it read or wrote, in its log."""
        address = int(gdb.parse_and_eval("$_siginfo._sifields._sigfault.si_addr"))
        pc = int(gdb.parse_and_eval("$pc"))
        again = self.fault_at == (address, pc)  # the handler did not open it
        self.fault_at = (address, pc)
        self.logged()
        frames = self.chain()
        newest = gdb.newest_frame()
        library_call = None if self.at(newest) else (newest.name() or None)
        self.write(record="fault", address=address, again=again, library=library_call,
                   function=function_of(frames[-1]) if frames else None,
                   at=self.at(frames[-1]) if frames else None)
        return again

    def on_stop(self, event):
        self.signal = getattr(event, "stop_signal", None)
        points = getattr(event, "breakpoints", [])
        self.exiting = self.points.get("exit") in points
        self.thrown = next((how for how in ("throw", "catch", "handled")
                            if self.points.get(how) in points), None)

    def exception(self, how):
        """A throw, the start of a handler, or a handler's end: the
        exception object's type and where it lives, as the C++ runtime
        tells GDB."""
        try:
            value = gdb.parse_and_eval("$_exception") if how != "handled" else None
            if value is not None and value.type.strip_typedefs().code == gdb.TYPE_CODE_STRUCT:
                value = value.cast(value.dynamic_type)  # a pointer thrown stays a pointer
            address = int(value.address) if value is not None else None
        except FAILS:
            value = address = None
        if value is None or address is None:
            return self.write(record=how, type=None, address=None)
        self.write(record=how, type=type_name(value.type), address=address,
                   object=self.memory.value("exception", value))

    def run_out(self, exited):
        """Runs the rest untraced, reading the log as the program exits.
        Returns None when it exited, or how it ended otherwise."""
        while not exited:
            gdb.execute("continue", to_string=True)
            if self.exiting:
                self.logged()
            elif not exited:  # stopped after the traced part: a crash in a fixture, say
                frames = self.chain()
                return (f"signal {self.signal} after the traced part, in "
                        f"{function_of(frames[-1]) if frames else '??'}")
        return None

    def where(self):
        frames = self.chain()
        return self.at(frames[-1]) if frames else "??"

    def trace(self):
        """Runs to the start (main, or the test's body), steps to its end or
        a cap, runs the rest untraced; returns how the run ended."""
        for setting in ("pagination off", "confirm off", "width 0", "print object on",
                        "breakpoint always-inserted on"):
            gdb.execute(f"set {setting}")
        # Seen first here, then passed on: the recorder opens a block's page.
        gdb.execute("handle SIGSEGV stop print pass")  # noprint would mean nostop
        gdb.execute("catch syscall exit_group")  # to read the log before the end
        self.points = {"exit": gdb.breakpoints()[-1]}
        test = SETTINGS.get("test")
        start = "TestBody" if test else "main"  # only the one test runs
        gdb.Breakpoint(start, internal=True)
        gdb.events.stop.connect(self.on_stop)
        exited = []
        gdb.events.exited.connect(lambda event: exited.append(getattr(event, "exit_code", None)))
        gdb.execute(f"run {SETTINGS['run']}", to_string=True)
        if exited or not self.chain():
            return f"exit {exited[0]} before {start} ran" if exited else f"{start} never ran"
        points = stops.in_functions(TOP, SETTINGS["files"], project_file)
        for how, command in (("throw", "catch throw"), ("catch", "catch catch")):
            gdb.execute(command)
            self.points[how] = gdb.breakpoints()[-1]
        self.points["handled"] = gdb.Breakpoint("__cxa_end_catch", internal=True)
        gdb.execute("set var picture_recording = 1")
        end = None
        deadline = SETTINGS["deadline"]
        while not exited and not end:
            frames = self.chain()
            if self.exiting:  # during a step: exit() from the project's code, say
                self.logged()
                end = self.run_out(exited)
                break
            if self.thrown:
                self.exception(self.thrown)
            elif self.signal == "SIGSEGV":
                if self.fault():
                    end = f"signal SIGSEGV at {self.where()}"
            elif self.signal == "SIGINT":  # the driver's, at the time cap
                end = f"cut at the time limit in {self.where()}"
            elif self.signal not in (None, "SIGTRAP"):
                end = f"signal {self.signal} at {self.where()}"
            elif not frames or (test and not any(is_test_body(f) for f in frames)):
                gdb.execute("set var picture_recording = 0")  # the rest goes on untraced
                for point in points + self.lines.points():
                    point.delete()
                end = self.run_out(exited)
                break
            if end:
                break
            if frames and self.newest_ours and self.signal != "SIGSEGV":
                self.fault_at = None  # the newest frame is the project's: frames[-1]
                self.step(frames)
                self.lines.stop_at(frames[-1])
                if self.steps >= SETTINGS["steps"] or time.time() > deadline:
                    end = (f"cut after {SETTINGS['steps']} steps"
                           if self.steps >= SETTINGS["steps"]
                           else f"cut at the time limit after {self.steps} steps")
                    break
            gdb.execute("continue", to_string=True)
        if not exited:
            gdb.execute("kill")
            return end or f"signal {self.signal} at {self.where()}"
        return end or (f"exit {exited[0]}" if exited[0] is not None else "exit 0")


# Names and types, as the lesson writes them.

def project_file(path):
    """A source of the lessons or of the tests (not of the tests' support)."""
    return path in SETTINGS["files"] or path.startswith(TOP) and not path.startswith(
        tuple(TOP + folder for folder in ("build/", "lab/", "tests/support/")))


def source_line(at):
    if not at:
        return ""
    path, number = at.rsplit(":", 1)
    lines = source_lines(path)
    return lines[int(number) - 1].strip() if int(number) <= len(lines) else ""


@functools.lru_cache(maxsize=None)  # a source is as it was built for the whole run
def source_lines(path):
    try:
        return Path(TOP, path).read_text(errors="replace").splitlines()
    except OSError:
        return []


def alive():
    return gdb.selected_inferior().pid != 0


def main():
    with open(SETTINGS["raw"], "w") as out:
        observer = Observer(out)
        try:
            end = observer.trace()
            broke = None
        except KeyboardInterrupt:
            end, broke = "cut at the time limit", None
        except Exception:  # noqa: whatever it is, the page shows the run up to here
            end, broke = "the tracer could not follow the run", traceback.format_exc()
            if alive():
                gdb.execute("kill")
        observer.write(record="end", how=end, traceback=broke,
                       out=os.path.getsize(SETTINGS["output"]),
                       err=os.path.getsize(SETTINGS["errors"]))


main()
