"""The observer of make picture, run inside GDB (gdb -batch -x observe.py):
steps one run of a program, or the body of one unit test, line by line
through the project's own code, and writes what it sees as raw records,
one JSON object a line (schema.py's RAW says each kind). It only
observes: values as they are, the recorder's log, and the facts only GDB
knows (a frame's `this`, a dynamic type, whether a member is virtual, an
object's fields when a call returns). What they mean is interpret.py's.
Its settings come as one JSON file named by PICTURE_SETTINGS (settings.py).
"""
import json
import os
import sys
import time
import traceback
from pathlib import Path

import gdb

# GDB runs this file as a script: the checkout's top is put on the path to
# import the rest of the observer, the contract among them.
sys.path.insert(0, str(Path(__file__).resolve().parents[3]))
from lab.picture.observer import stops  # noqa: E402
from lab.picture.observer.steps import Steps  # noqa: E402
from lab.picture.observer.values import (FAILS, Memory, enum_names, function_of,  # noqa: E402
                                         is_test_body, type_name)


DRAWN = 16  # the calls a step draws at most, the newest: a recursion draws as it goes


class Project:
    """What the run's settings say of the project: its top, the learner's
    own files, the test drawn, and its sources' lines."""

    def __init__(self, settings):
        self.settings = settings
        self.top = settings["top"].rstrip("/") + "/"
        self.files, self.test = settings["files"], settings.get("test")
        self.sources = {}  # a source's path: its lines, as it was built for the whole run

    def owns(self, path):
        """A source of the lessons or of the tests (not of the lab, nor the
        tests' support)."""
        return path in self.files or path.startswith(self.top) and not path.startswith(
            tuple(self.top + folder for folder in ("build/", "lab/", "tests/support/")))

    def relative(self, name):
        return name[len(self.top):] if name.startswith(self.top) else name

    def line(self, at):
        """The source line at FILE:LINE, stripped; "" when it is not known."""
        if not at:
            return ""
        path, number = at.rsplit(":", 1)
        if path not in self.sources:
            try:
                self.sources[path] = Path(self.top, path).read_text(
                    errors="replace").splitlines()
            except OSError:  # a file gone since it was built: no line to show
                self.sources[path] = []
        lines = self.sources[path]
        return lines[int(number) - 1].strip() if int(number) <= len(lines) else ""


class Observer:
    """One run, observed: its records go to out as they are made."""

    def __init__(self, out, settings):
        self.out, self.project, self.settings = out, Project(settings), settings
        self.memory = Memory()  # the recorder's blocks, and values as they are
        self.steps = Steps(self)
        self.sources = set()
        self.places = {}  # return address: [function, FILE:LINE or None]
        self.lines = stops.Lines()  # each line's breakpoints, by function
        self.signal, self.exiting, self.fault_at, self.thrown = None, False, None, None
        self.points = {}  # where to know of: exit, throw, catch, handled (a handler ends)
        self.log = None
        self.newest_ours = False  # the newest frame, at the last chain(), is the project's
        self.sent = False  # the program sent itself SIGSEGV
        self.capped = False  # the last chain() left older frames out

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
        if not self.project.owns(name):
            return None
        path = self.project.relative(name)
        if path not in self.sources:
            self.sources.add(path)
            self.write(record="source", path=path,
                       text=Path(name).read_text(errors="replace"))
        return f"{path}:{sal.line}"

    def chain(self):
        """The project's frames, outermost first: up to the test's body, or
        main, since nothing older is the project's (GoogleTest's frames);
        the newest DRAWN of them at most, so that a step costs the same at
        any depth (capped says the older ones are left out)."""
        frame, found = gdb.newest_frame(), []
        self.newest_ours = bool(self.at(frame))  # a line of the project's runs now
        self.capped = False
        while frame is not None:
            if self.at(frame):
                if len(found) == DRAWN:
                    self.capped = True
                    break
                found.append(frame)
                if is_test_body(frame) if self.project.test else frame.name() == "main":
                    break
            frame = frame.older()
        return found[::-1]

    def place(self, pc):
        """[function, FILE:LINE in the project or None] of a return address."""
        if pc not in self.places:
            sal, block = gdb.find_pc_line(pc - 1), gdb.block_for_pc(pc - 1)
            name = sal.symtab.filename if sal.symtab else ""
            function = block.function.print_name if block and block.function \
                else self.memory.places.symbol(pc - 1)
            self.places[pc] = [function, f"{self.project.relative(name)}:{sal.line}"
                               if self.project.owns(name) else None]
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

    # The run.

    def fault(self):
        """A stop on a closed page: where, and by what; the recorder's
        handler says whether it read or wrote, in its log."""
        if int(gdb.parse_and_eval("$_siginfo.si_code")) <= 0:
            self.sent = True  # by raise or kill, not a fault: passed on to the program
            return False
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
        self.steps.in_flight = how == "throw"
        if how != "throw":
            self.steps.leaving.clear()  # unwound: a handler runs, or has ended
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
        exited = []
        start = self.start(exited)
        if exited or not self.chain():
            return f"exit {exited[0]} before {start} ran" if exited else f"{start} never ran"
        points = stops.in_functions(self.project.top, self.project.files, self.project.owns)
        for how, command in (("throw", "catch throw"), ("catch", "catch catch")):
            gdb.execute(command)
            self.points[how] = gdb.breakpoints()[-1]
        self.points["handled"] = gdb.Breakpoint("__cxa_end_catch", internal=True)
        gdb.execute("set var picture_recording = 1")
        end = self.stepped(exited, points)
        if not exited:
            gdb.execute("kill")
            return end or f"signal {self.signal} at {self.where()}"
        if end or exited[0] is not None:
            return end or f"exit {exited[0]}"
        # No exit code: a signal ended it, as it would have without the picture.
        return (f"signal {self.signal}, which the program sent itself" if self.sent
                else f"signal {self.signal}")

    def start(self, exited):
        """Runs the program to where its drawing starts; returns its name."""
        for setting in ("pagination off", "confirm off", "width 0", "print object on",
                        "breakpoint always-inserted on"):
            gdb.execute(f"set {setting}")
        # Seen first here, then passed on: the recorder opens a block's page.
        gdb.execute("handle SIGSEGV stop print pass")  # noprint would mean nostop
        gdb.execute("catch syscall exit_group")  # to read the log before the end
        self.points = {"exit": gdb.breakpoints()[-1]}
        start = "TestBody" if self.project.test else "main"  # only the one test runs
        gdb.Breakpoint(start, internal=True)
        gdb.events.stop.connect(self.on_stop)
        gdb.events.exited.connect(lambda event: exited.append(getattr(event, "exit_code", None)))
        gdb.execute(f"run {self.settings['run']}", to_string=True)
        return start

    def stepped(self, exited, points):
        """Steps from stop to stop until the run ends or a cap; how it ended,
        or None when it exited."""
        test, most, deadline = self.project.test, self.settings["steps"], self.settings["deadline"]
        while not exited:
            frames = self.chain()
            if self.exiting:  # during a step: exit() from the project's code, say
                self.logged()
                return self.run_out(exited)
            if self.thrown:
                self.exception(self.thrown)
            elif self.signal == "SIGSEGV":
                if self.fault():
                    return f"signal SIGSEGV at {self.where()}"
            elif self.signal == "SIGINT":  # the driver's, at the time cap
                return f"cut at the time limit in {self.where()}"
            elif self.signal not in (None, "SIGTRAP"):
                return f"signal {self.signal} at {self.where()}"
            elif not frames or (test and not self.capped
                                and not any(is_test_body(f) for f in frames)):
                gdb.execute("set var picture_recording = 0")  # the rest goes on untraced
                for point in points + self.lines.points():
                    point.delete()
                return self.run_out(exited)
            if frames and self.newest_ours and self.signal != "SIGSEGV":
                self.fault_at = None  # the newest frame is the project's: frames[-1]
                if self.settings.get("floor"):  # the stops alone, to measure against
                    self.steps.count += 1
                else:
                    self.logged()
                    self.steps.write(frames)
                self.lines.stop_at(frames[-1])
                if self.steps.count >= most or time.time() > deadline:
                    return (f"cut after {most} steps" if self.steps.count >= most
                            else f"cut at the time limit after {self.steps.count} steps")
            gdb.execute("continue", to_string=True)
        return None


def alive():
    return gdb.selected_inferior().pid != 0


def main():
    settings = json.loads(Path(os.environ["PICTURE_SETTINGS"]).read_text())
    with open(settings["raw"], "w") as out:
        observer = Observer(out, settings)
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
                       out=os.path.getsize(settings["output"]),
                       err=os.path.getsize(settings["errors"]))


main()
