"""The calls the observer follows apart: a virtual call's first step, and
each copy and destructor of a project class from its first step until it
returns, with its object and its source as they are then. Runs inside GDB.
"""
import re

import gdb

from lab.picture.observer.values import FAILS, function_of, is_virtual, key
from lab.picture.schema import member


class Calls:
    """The copies and destructors running, by their frame."""

    def __init__(self, observer):
        self.observer, self.project, self.memory = observer, observer.project, observer.memory
        self.pending = {}

    def entered(self, frame, frames):
        """The facts of a call's first step: through which static type a
        virtual member is called; for a constructor, copy or destructor,
        the caller's local it works on (in scope or not) and its source."""
        facts = {}
        function = function_of(frame)
        method = re.match(r"(.*)::(\w+)\(", function)
        caller_line = self.project.line(self.observer.at(frames[-2]))
        used = method and re.search(rf"([\w\[\].]+)\s*(->|\.)\s*{method.group(2)}\s*\(",
                                    caller_line)
        if used and is_virtual(method.group(1), method.group(2)):
            facts["virtual"] = True
            try:
                frames[-2].select()
                kind = gdb.parse_and_eval(used.group(1)).type
                facts["through"] = str(kind)
                static = kind.strip_typedefs()
                static = static.target() if static.code in (
                    gdb.TYPE_CODE_PTR, gdb.TYPE_CODE_REF) else static
                static = str(static.strip_typedefs().unqualified())
                if gdb.lookup_symbol(f"{static}::{method.group(2)}")[0] is None:
                    facts["pure"] = True  # the static type's has no body: it never runs
            except FAILS:  # an expression GDB cannot evaluate: the caption names no type
                facts.pop("through", None)
            gdb.newest_frame().select()
        cls, kind = member(function)
        if kind is None:
            return facts
        try:
            this = int(frame.read_var("this"))
        except FAILS:
            return facts
        facts["local"] = self.memory.places.out_of_scope(frames[-2], this)
        if len(frames) > 2:
            facts["outer local"] = self.memory.places.out_of_scope(frames[-3], this)
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
            except FAILS:  # its dynamic type cannot be read: nothing is said of slicing
                found.pop("dynamic", None)
        self.pending[key(frame)] = found
        return found

    def object_at(self, address, cls):
        try:
            value = gdb.Value(address).cast(gdb.lookup_type(cls).pointer()).dereference()
            return self.memory.fields(value, 0)
        except FAILS as error:
            return [{"name": "*this", "type": cls,
                     "unreadable": f"{type(error).__name__}: {error}"}]

    def returned(self, keys, oldest):
        """For each copy or destructor whose frame is gone: its object's
        and its source's fields as it returned. A frame older than the
        oldest drawn (its frame address above oldest) runs still."""
        done = []
        for its_key in [k for k in self.pending
                        if k not in keys and not (oldest and k[1] > oldest)]:
            call = self.pending.pop(its_key)
            record = {"key": its_key}
            if call["kind"] != "destructor" and gdb.selected_inferior().pid != 0:
                record["objects"] = [{"name": "this", "type": call["class"],
                                      "fields": self.object_at(call["this"], call["class"])}]
                if "source" in call:
                    record["objects"].append({"name": "source", "type": call["class"],
                                              "fields": self.object_at(call["source"],
                                                                       call["class"])})
            self.observer.write(record="return", **record)
            done.append(record)
        return done

