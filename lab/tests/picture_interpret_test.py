#!/usr/bin/env python3
"""make picture's interpreter on small hand-made raw records, as the
observer writes them inside GDB: every kind of finding, the captions, and
what the page is told when something could not be followed. No GDB, no
build: milliseconds.

Usage: picture_interpret_test.py CHECKOUT/lab/picture
"""
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(sys.argv.pop(1)).resolve().parent.parent))
from lab.picture import schema  # noqa: E402
import traces  # noqa: E402 (beside this file)
from lab.picture.draw import refused  # noqa: E402
from lab.picture.interpreter.interpret import interpret  # noqa: E402

PAGE = 4096
SOURCE = {  # demos/x.cpp, by line
    3: "char* CopyOf(const char* s) {", 4: "  char* block = new char[4];", 5: "  return block;",
    9: "int main() {", 10: "  double* row = new double[100];", 11: "  sum += row[i];",
    12: "  holder.Show();", 13: "  std::cout << holder.ref;", 14: "  delete row;",
    15: "  Show(credit);", 16: "  account->ViewAcct();", 17: "  plain = credit;",
    40: "Pair::Pair(int a, int b)", 41: "    : first(a),", 42: "      second(b) {}"}


def source():
    text = "\n".join(SOURCE.get(n, "") for n in range(1, 45))
    return {"record": "source", "path": "demos/x.cpp", "text": text}


def event(kind, start, size, operator="operator new(unsigned long)", function="main()",
          line=10, access="unknown"):
    mapping = start - (start % PAGE)
    return {"record": "event", "event": kind, "start": start, "size": size, "access": access,
            "mapping": mapping, "mapped": 2 * PAGE,
            "callers": [[operator, None], [function, f"demos/x.cpp:{line}"]]}


def block(number, size):
    """The start of the number'th block: flush against its closed page."""
    return 0x10000000 + number * 2 * PAGE + PAGE - size


def pointer(name, address, kind="float", size=8, line=1, where=0x7000):
    return {"name": name, "type": "double *", "address": where, "size": 8, "pointer": address,
            "target": {"kind": kind, "type": "double", "size": size}, "line": line,
            "argument": False}


def frame(function, line, objects=(), rbp=0x7f00, entry=None):
    found = {"function": function, "at": f"demos/x.cpp:{line}", "line": line,
             "key": [function, rbp, 0x401000], "objects": list(objects), "starts": 0}
    return {**found, "entry": entry} if entry else found


def step(*frames, blocks=None, sp=0x6000, out=0, globals_=()):
    return {"record": "step", "sp": sp, "out": out, "err": 0, "frames": list(frames),
            "globals": list(globals_), "subscripts": [], "blocks": blocks or {}}


def end(how="exit 0", out=0, traceback=None):
    return {"record": "end", "how": how, "traceback": traceback, "out": out, "err": 0}


def run(*records, output=b"", failures=(), test=None, typed=b"", typed_size=None):
    trace = interpret([source(), *records], {"name": "x", "test": test}, output, b"", failures,
                      typed, typed_size)
    schema.check_trace(trace)
    return trace


def said(trace, kind):
    return [f["says"] for f in trace["findings"] if f["kind"] == kind]


class Findings(unittest.TestCase):
    def test_past_the_end_counts_elements_by_their_size_not_by_how_many_are_drawn(self):
        row = block(1, 800)
        trace = run(event("allocated", row, 800, "operator new[](unsigned long)"),
                    step(frame("main()", 11, [pointer("row", row, line=10)]),
                         blocks={str(row): {"elements": ["0"] * 64, "element size": 8}}),
                    {"record": "fault", "address": row + 800, "again": False, "library": None,
                     "function": "main()", "at": "demos/x.cpp:11"},
                    event("faulted", row + 800, 0, access="read"), end())
        self.assertEqual(said(trace, "past the end"), [
            "main() reads [100], past the end of block 1 ([0] to [99], allocated at "
            "demos/x.cpp:10)"])

    def test_a_wide_read_that_starts_before_a_released_block_is_a_use_after_free(self):
        # strlen's aligned 16-byte loads start before the name's first byte.
        name = block(1, 4)
        trace = run(event("allocated", name, 4, "operator new[](unsigned long)", line=4),
                    step(frame("main()", 12)),
                    event("released", name, 4, "operator delete[](void*)", line=14),
                    step(frame("main()", 13)),
                    {"record": "fault", "address": name - 12, "again": False,
                     "library": "__strlen_avx2", "function": "main()", "at": "demos/x.cpp:13"},
                    event("faulted", name - 12, 0, access="read"), end())
        self.assertEqual(said(trace, "use after free"), [
            "main() reads block 1, in a call of strlen after main() released it"])

    def test_a_release_matches_its_allocation_by_the_operators_called(self):
        kept, row = block(1, 4), block(2, 800)
        trace = run(event("allocated", kept, 4, "operator new[](unsigned long)"),
                    event("allocated", row, 800, "operator new[](unsigned long)"),
                    step(frame("main()", 11, [pointer("row", row), pointer("kept", kept)])),
                    # a unique_ptr<char[]>'s deleter: no [] on its line, delete[] all the same
                    event("released", kept, 4, "operator delete[](void*)",
                          "std::default_delete<char []>::operator()(char*) const", line=12),
                    event("released", row, 800, "operator delete(void*)", line=14),
                    event("bad release", 0x7010, 0, "operator delete(void*)", line=14),
                    step(frame("main()", 15, [pointer("row", row)])), end())
        self.assertEqual(said(trace, "bad release"), [
            "block 2 came from new[] and main() releases it with delete: release with what "
            "allocated", "main() releases the address 0x7010, which no new returned: only a "
            "block's start, as new gave it, can be released"])

    def test_a_member_reference_into_a_returned_frame_is_dangling_when_used(self):
        count = {"name": "count", "type": "int", "address": 0x5f00, "size": 4, "value": "7",
                 "line": 3, "argument": False}
        holder = {"name": "holder", "type": "Holder", "address": 0x7100, "size": 8, "line": 9,
                  "argument": False, "fields": [{"name": "ref", "type": "int &",
                                                 "refers": 0x5f00}]}
        trace = run(step(frame("main()", 12), frame("Counter()", 5, [count], rbp=0x5f10)),
                    step(frame("main()", 13, [holder]), sp=0x6000), end())
        self.assertEqual(said(trace, "dangling"), [
            "`holder.ref` refers to `count` of Counter(), whose frame has returned: that "
            "object is gone, and `std::cout << holder.ref;` uses what is left in its place"])

    def test_a_copy_from_a_reference_to_a_returned_local_reads_what_is_gone(self):
        longer = {"name": "longer", "type": "Pet", "address": 0x5e00, "size": 8, "line": 4,
                  "argument": False, "fields": []}
        assign = {"call": {"kind": "copy assignment", "class": "Pet", "this": 0x7100,
                           "source": 0x5e00, "fields": []}}
        SOURCE[17] = "  plain = Longer(rex, fido);"
        try:
            trace = run(step(frame("main()", 17)),
                        step(frame("main()", 17), frame("Longer()", 5, [longer], rbp=0x5f00)),
                        step(frame("main()", 17), frame("Pet::operator=(Pet const&)", 30,
                                                        rbp=0x5f00, entry=assign)), end())
        finally:
            del SOURCE[17]
        self.assertEqual(said(trace, "dangling"), [
            "`plain = Longer(rex, fido);` copies from `longer` of Longer(), whose frame has "
            "returned: what Longer() returned refers to an object that is gone, and the copy "
            "reads what is left in its place"])

    def test_a_frame_left_out_of_a_deep_step_runs_still_and_its_locals_live(self):
        total = {"name": "total", "type": "int", "address": 0x7ef0, "size": 4, "value": "0",
                 "line": 9, "argument": False}
        into = {**pointer("sum", 0x7ef0, kind="integer", size=4), "argument": True}
        # main, then the newest calls only (main is older, not returned), then main again
        trace = run(step(frame("main()", 12, [total], rbp=0x7f00)),
                    {**step(frame("Down(int*)", 5, [into], rbp=0x5000)), "older": True},
                    step(frame("main()", 13, [total], rbp=0x7f00)), end())
        hidden, back = traces.step(trace, 1), traces.step(trace, 2)
        self.assertEqual(hidden["frames"][0]["objects"], [], "no mark of the calls left out")
        self.assertNotIn("dangling", hidden["frames"][-1]["objects"][0])
        self.assertNotIn("state", back["frames"][0]["objects"][0],
                         "main's local, built before its frame was left out, is built still")

    def test_a_shared_block_released_twice_and_a_leak_beside_a_block_kept_to_the_end(self):
        name, kept, lost = block(1, 4), block(2, 4), block(3, 4)

        def account(name_, address, points):
            return {"name": name_, "type": "Account", "address": address, "size": 8, "line": 9,
                    "argument": False, "fields": [pointer("client", points)]}

        trace = run(*[event("allocated", b, 4, "operator new[](unsigned long)")
                      for b in (name, kept, lost)], step(frame("main()", 9)),
                    step(frame("main()", 17, [account("plain", 0x7100, name),
                                              account("credit", 0x7200, name),
                                              pointer("lost", lost)]),
                         globals_=[account("keep", 0x9000, kept)]),
                    event("released", name, 4, "operator delete[](void*)"),
                    event("released again", name, 4, "operator delete[](void*)"),
                    step(frame("main()", 17), globals_=[account("keep", 0x9000, kept)]), end())
        self.assertEqual(said(trace, "shared block"), [
            "`plain` and `credit` hold one block, block 1, where each should own a block of "
            "its own: main() made them share it"])
        self.assertEqual(said(trace, "double free"), [
            "block 1 is released a second time, in main(); main() had released it"])
        self.assertEqual([f["kind"] for f in trace["findings"][2:]], ["kept to the end", "leak"])

    def test_a_copy_from_a_derived_object_is_sliced_and_a_forgotten_field_differs(self):
        def account(balance):
            return [{"name": "number", "type": "long", "value": "7"},
                    {"name": "balance", "type": "double", "value": balance}]
        credit = {"name": "credit", "type": "OverdraftD", "address": 0x7200, "size": 48,
                  "line": 9, "argument": False, "fields": [{"base": "BankAccountD",
                                                             "fields": account("8000")}]}
        plain = {"name": "plain", "type": "BankAccountD", "address": 0x7100, "size": 24,
                 "line": 9, "argument": False, "fields": account("0")}
        call = {"kind": "copy assignment", "class": "BankAccountD", "this": 0x7100,
                "source": 0x7200, "dynamic": "OverdraftD", "fields": account("0"),
                "static fields": account("8000"),
                "dynamic fields": [{"base": "BankAccountD", "fields": account("8000")},
                                   {"name": "loanLimit", "type": "double", "value": "500"}]}
        this = {"name": "this", "type": "BankAccountD *", "refers": 0x7100, "line": 0,
                "argument": True}
        trace = run(step(frame("main()", 17, [plain, credit])),
                    step(frame("main()", 17, [plain, credit]),
                         frame("BankAccountD::operator=(BankAccountD const&)", 5, [this],
                               rbp=0x6f00, entry={"call": call})),
                    {"record": "return", "key": ["BankAccountD::operator=(BankAccountD const&)",
                                                 0x6f00, 0x401000],
                     "objects": [{"name": "this", "type": "BankAccountD",
                                  "fields": account("0")},
                                 {"name": "source", "type": "BankAccountD",
                                  "fields": account("8000")}]},
                    step(frame("main()", 12, [plain, credit])), end())
        self.assertEqual(trace["steps"][1]["says"], "copy assignment `plain = credit`")
        self.assertEqual(said(trace, "sliced"), [
            "`plain` is a `BankAccountD` assigned from `credit`, an `OverdraftD`: only its "
            "`BankAccountD` part is copied; `loanLimit` is left behind"])
        self.assertEqual(said(trace, "copy differs"), [
            "after the copy assignment, `plain.balance` is 0 where `credit.balance` is 8000: "
            "a copy copies every member (C.61)"])
        self.assertEqual(trace["calls"][0]["returns"], 2)


class Frames(unittest.TestCase):
    def test_a_local_is_built_only_from_its_line_in_each_call_of_its_function(self):
        copy = "CopyOf(char const*)"
        local = pointer("block", 0, kind="integer", size=1, line=4)
        calls = [step(frame("main()", 15), frame(copy, 4, [local], rbp=0x6f00)),
                 step(frame("main()", 15), frame(copy, 5, [local], rbp=0x6f00)),
                 step(frame("main()", 16)),
                 step(frame("main()", 16), frame(copy, 4, [local], rbp=0x6f00))]
        steps = list(traces.steps(run(*calls, end())))
        states = [s["frames"][-1]["objects"][0].get("state") for s in steps if s["frames"]
                  and s["frames"][-1]["function"] == copy]
        self.assertEqual(states, ["not built yet", None, "not built yet"],
                         "a second call of CopyOf from the same place showed the first call's "
                         "block before its line ran")

    def test_a_jump_past_a_declaration_builds_nothing(self):
        # An exception leaves the try block at line 12 for main's closing line.
        later = {"name": "total", "type": "double", "address": 0x7100, "size": 8, "value": "0",
                 "line": 14, "argument": False}
        steps = list(traces.steps(run(step(frame("main()", 12, [later])),
                                      step(frame("main()", 20, [later])), end())))
        self.assertEqual(steps[1]["frames"][0]["objects"][0].get("state"), "not built yet")

    def test_a_virtual_call_is_named_by_the_type_it_is_called_through(self):
        trace = run(step(frame("main()", 16)),
                    step(frame("main()", 16), frame("Overdraft::ViewAcct() const", 5, rbp=0x6f00,
                                                    entry={"virtual": True,
                                                           "through": "BankAccount *"})), end())
        self.assertEqual(trace["steps"][1]["says"],
                         "virtual call: `Overdraft::ViewAcct` through a `BankAccount*`")

    def test_the_exception_object_is_drawn_from_its_throw_to_its_handlers_end(self):
        thrown = {"type": "LimitArE::SonOfBad", "address": 0x5000,
                  "object": {"name": "exception", "type": "LimitArE::SonOfBad", "size": 12,
                             "fields": [{"name": "lowBound", "type": "int", "value": "1998"}]}}
        trace = run(step(frame("main()", 11)), {"record": "throw", **thrown},
                    step(frame("main()", 20)), {"record": "catch", **thrown},
                    step(frame("main()", 13)), {"record": "handled", "type": None,
                                                "address": None},
                    step(frame("main()", 14)), end())
        steps = list(traces.steps(trace))
        drawn = [[b.get("exception") for b in s["blocks"]] for s in steps[:4]]
        self.assertEqual(drawn, [[], ["in flight"], ["caught"], []])
        self.assertEqual(steps[1]["blocks"][0]["object"]["fields"][0]["value"], "1998")
        self.assertTrue(steps[1]["says"].startswith("the exception `LimitArE::SonOfBad` leaves "
                                                    "this block"), steps[1]["says"])

    def test_a_stream_buffer_is_drawn_by_its_put_area_and_a_stream_by_its_buffer(self):
        window = {"name": "window", "type": "Window", "address": 0x7100, "size": 8, "line": 1,
                  "argument": False, "fields": [{"name": "calls", "type": "std::vector<std::string>",
                                                 "fields": []}]}
        put = [{"name": end, "type": "char *", "pointer": 0x7200 + 16 + at, "into": "buffer",
                "element": at, "target": {"kind": "integer", "type": "char", "size": 1}}
               for end, at in (("pbase()", 0), ("pptr()", 13), ("epptr()", 4096))]
        sink = {"name": "sink", "type": "PaneSink", "address": 0x7200, "size": 4120, "line": 1,
                "argument": False, "fields": [
                    {"base": "std::streambuf", "fields": put},
                    {"name": "window", "type": "Window *", "pointer": 0x7100,
                     "target": {"kind": "object", "type": "Window", "size": 8}},
                    {"name": "buffer", "type": "char [4096]", "address": 0x7210, "size": 4096,
                     "put area": {"written": "Hello world!\n", "free": 4083}}]}
        out = {"name": "out", "type": "std::ostream", "address": 0x7000, "size": 8, "line": 1,
               "argument": False, "fields": [{"name": "rdbuf()", "type": "std::streambuf *",
                                              "refers": 0x7200}]}
        shown = list(traces.steps(run(step(frame("main()", 9)),
                                      step(frame("main()", 12, [window, sink, out])), end())))[1]
        window, sink, out = shown["frames"][0]["objects"]
        fields = {f.get("name") or f["base"]: f for f in sink["fields"]}
        self.assertEqual([f["value"] for f in fields["std::streambuf"]["fields"]],
                         ["→ buffer[0]", "→ buffer[13]", "→ buffer[4096]"])
        self.assertEqual(fields["buffer"]["value"], '"Hello world!\\n" written, 4083 free')
        self.assertEqual((fields["window"]["refers"], fields["window"].get("points")),
                         ("0x7100", True), "a pointer to a drawn object is an arrow to it")
        self.assertEqual(out["fields"][0]["refers"], "0x7200")
        self.assertEqual(window["fields"][0]["value"], "empty")

    def test_the_input_is_a_tape_and_the_output_shows_what_was_typed(self):
        typed, said = b"one#two\nrest\n", b"Enter: Got one\n"
        trace = run(step(frame("main()", 12), out=7), {**step(frame("main()", 13), out=7),
                                                       "read": 3},
                    {**step(frame("main()", 14), out=15), "read": 3}, end(out=15),
                    output=said, typed=typed)
        steps = trace["steps"]
        self.assertEqual(trace["input"][steps[1]["in"]], "#", "get() left the # in the input")
        self.assertEqual(trace["terminal"][:steps[2]["term"]], "Enter: one#two\nGot one\n")

    def test_an_object_stays_drawn_while_its_destructor_runs(self):
        # An exception has taken `income` out of main's scope: its
        # destructor runs all the same.
        this = {"name": "this", "type": "LimitArE *", "refers": 0x7100, "line": 0,
                "argument": True}
        ending = {"key": ["LimitArE::~LimitArE()", 0x6f00, 0x401000], "this": 0x7100,
                  "class": "LimitArE", "fields": [{"name": "lowBound", "type": "int",
                                                   "value": "1998"}]}
        trace = run(step(frame("main()", 20)),
                    {**step(frame("main()", 20), frame("LimitArE::~LimitArE()", 5, [this],
                                                       rbp=0x6f00, entry={"local": "income"})),
                     "destroying": [ending]}, step(frame("main()", 21)), end())
        steps = list(traces.steps(trace))
        income = steps[1]["frames"][0]["objects"][-1]
        self.assertEqual((income["name"], income["state"], income["address"]),
                         ("income", "being destroyed", "0x7100"))
        self.assertEqual(steps[2]["frames"][0]["objects"], [], "gone once its destructor ended")

    def test_a_field_whose_initializer_has_not_run_is_not_set_yet(self):
        pair = {"name": "pair", "type": "Pair", "address": 0x7100, "size": 8, "line": 9,
                "argument": False, "fields": [{"name": "first", "type": "int", "value": "7"},
                                              {"name": "second", "type": "int", "value": "-3"}]}
        this = {"name": "this", "type": "Pair *", "refers": 0x7100, "line": 0, "argument": True}

        def building(line):
            return step(frame("main()", 12, [pair]),
                        {**frame("Pair::Pair(int, int)", line, [this], rbp=0x6f00), "starts": 40})
        steps = list(traces.steps(run(step(frame("main()", 10)), building(41), building(42),
                                      end())))
        shown = [[f.get("state", f.get("value")) for f in s["frames"][0]["objects"][0]["fields"]]
                 for s in steps[1:3]]
        self.assertEqual(shown, [["not set yet", "not set yet"], ["7", "not set yet"]])

    def test_what_could_not_be_read_or_followed_is_said_so(self):
        broken = {"name": "account", "type": "BankAccountD", "line": 1, "argument": True,
                  "unreadable": "MemoryError: Cannot access memory at address 0x1002"}
        trace = run(step(frame("main()", 15, [broken])),
                    end("the tracer could not follow the run",
                        traceback="Traceback...\nKeyError: 'x'\n"))
        shown = next(traces.steps(trace))["frames"][0]["objects"][0]
        self.assertEqual(shown["value"], "could not be read")
        notes = " ".join(n["says"] for n in trace["notes"])
        self.assertIn("`account` could not be read: MemoryError", notes)
        self.assertIn("KeyError: 'x'", notes, "the tracer's traceback was lost")
        self.assertIn("tracer broke", trace["why"])

    def test_output_is_counted_as_the_page_counts_it(self):
        text = "é😀x".encode()
        trace = run(step(frame("main()", 12), out=len(text)), end(out=len(text)), output=text)
        self.assertEqual(trace["steps"][0]["out"], 4, "the page slices in UTF-16 units")

    def test_a_failure_not_found_in_the_output_is_placed_at_its_line(self):
        failure = {"at": "demos/x.cpp:13", "sentence": "a copy must outlive its source",
                   "detail": []}
        trace = run(step(frame("main()", 12)), step(frame("main()", 13)), step(frame("main()", 14)),
                    end(), failures=[failure])
        self.assertEqual(trace["failures"][0]["step"], 1)


class Memory(unittest.TestCase):
    """One model of memory: whatever a pointer points at is found by its
    address, and the blocks are typed and numbered as the page shows them."""

    def test_a_pointer_to_a_plain_local_or_an_element_is_an_arrow_to_it(self):
        x = {"name": "x", "type": "int", "address": 0x7e00, "size": 4, "value": "1",
             "line": 9, "argument": False}
        row = {"name": "row", "type": "int [3]", "address": 0x7e10, "size": 12, "line": 9,
               "argument": False, "fields": [{"name": f"[{i}]", "type": "int", "value": "7"}
                                             for i in range(3)]}
        trace = run(step(frame("main()", 10, [x, row]), frame(
            "Swap(int*, int*)", 3, [{**pointer("a", 0x7e00, "integer", 4), "argument": True},
                                    {**pointer("b", 0x7e18, "integer", 4), "argument": True}],
            rbp=0x6f00)), end())
        a, b = traces.step(trace, 0)["frames"][-1]["objects"]
        self.assertEqual((a["refers"], a.get("points")), ("0x7e00", True), a)
        self.assertEqual((b["refers"], b["at element"]), ("0x7e10", 2), b)

    def test_an_array_of_row_pointers_is_typed_and_each_row_drawn(self):
        grid, row = block(1, 16), block(2, 16)
        library = block(3, 40)
        inside = event("allocated", library, 40)  # a vector's array, asked for by the library
        inside["callers"].insert(1, ["std::vector<int>::reserve()", None])
        trace = run(inside,
                    event("allocated", grid, 16, "operator new[](unsigned long)"),
                    event("allocated", row, 16, "operator new[](unsigned long)", line=11),
                    step(frame("main()", 12, [pointer("grid", grid)]), blocks={
                        str(grid): {"elements": [hex(row), "nullptr"], "element size": 8,
                                    "pointers": [row, 0],
                                    "to": {"kind": "integer", "type": "int", "size": 4}},
                        str(row): {"elements": ["1", "2", "3", "4"], "element size": 4}}),
                    end())
        blocks = {b["id"]: b for b in traces.step(trace, 0)["blocks"]}
        self.assertEqual(sorted(blocks), [1, 2], "the library's block took a number")
        self.assertEqual([e.get("block") for e in blocks[1]["elements"]], [2, None])
        self.assertEqual([e["value"] for e in blocks[2]["elements"]], ["1", "2", "3", "4"])

    def test_a_subscript_past_a_local_arrays_end_is_found_at_its_step(self):
        i = {"name": "i", "type": "int", "address": 0x7e00, "size": 4, "value": "5", "line": 10,
             "argument": False}
        inside, past = step(frame("main()", 11, [i])), step(frame("main()", 11, [i]))
        inside["subscripts"], past["subscripts"] = [["row", "i", 0x7e10, 4, 5]], [
            ["row", "i", 0x7e10, 5, 5]]
        trace = run(step(frame("main()", 10, [i])), inside, past, end())
        self.assertEqual([(f["step"], f["kind"]) for f in trace["findings"]], [(2, "past the end")])
        self.assertIn("`row[5]`, outside `row` ([0] to [4])", trace["findings"][0]["says"])

    def test_a_large_input_is_kept_only_as_far_as_it_was_read(self):
        trace = run({**step(frame("main()", 12)), "read": 3}, end(), typed=b"ab\ncd\n",
                    typed_size=100 * 2 ** 20)
        self.assertEqual(trace["input"], "ab\ncd\n")
        self.assertTrue(any("left out of the page" in n["says"] for n in trace["notes"]))


class Questions(unittest.TestCase):
    """Predict mode's questions, each with the choice learners are known to
    make wrongly and the one the trace shows."""

    def choices(self, question):
        return {c["say"]: c["right"] for c in question["choices"]}

    def test_a_virtual_call_is_asked_with_the_static_types_override_wrong(self):
        trace = run(step(frame("main()", 16)),
                    step(frame("main()", 16), frame("Overdraft::ViewAcct() const", 5, rbp=0x6f00,
                                                    entry={"virtual": True,
                                                           "through": "BankAccount *"})), end())
        question, = trace["questions"]
        self.assertEqual((question["step"], question["returns"]), (0, 1))
        self.assertEqual(self.choices(question), {"`BankAccount::ViewAcct`": False,
                                                  "`Overdraft::ViewAcct`": True})
        pure = run(step(frame("main()", 16)),
                   step(frame("main()", 16), frame("Square::Area() const", 5, rbp=0x6f00, entry={
                       "virtual": True, "through": "const Shape &", "pure": True})), end())
        self.assertEqual(pure["questions"], [], "a pure virtual function offered, which never runs")

    def test_a_handler_is_asked_with_binding_and_copying_apart(self):
        SOURCE[18], SOURCE[19] = "  if (i > 3) throw Bad(i);", "} catch (Bad& bad) {"
        try:
            trace = run(step(frame("main()", 18)), {"record": "throw", "type": "Bad",
                                                    "address": 0x5000},
                        {"record": "catch", "type": "Bad", "address": 0x5000},
                        step(frame("main()", 20)), end())
        finally:
            del SOURCE[18], SOURCE[19]
        question, = trace["questions"]
        self.assertEqual(self.choices(question), {
            "`catch (Bad& bad)`, bound to the exception object": True,
            "`catch (Bad& bad)`, a copy of the exception object": False})

    def test_the_next_character_after_get_is_the_hash_it_left(self):
        SOURCE[18] = "  std::cin.get(input, kArSize, '#');"
        try:
            trace = run({**step(frame("main()", 18)), "read": 0},
                        {**step(frame("main()", 19)), "read": 3}, end(), typed=b"abc#\n")
        finally:
            del SOURCE[18]
        question, = trace["questions"]
        self.assertEqual(self.choices(question), {"`#`": True, "a line end (⏎)": False})

    def test_a_hand_over_is_asked_only_as_the_flush_makes_it(self):
        def objects(*calls):  # the window keeps what it is handed, by any name
            return [{"name": "window", "type": "Window", "address": 0x7100, "size": 8,
                     "line": 1, "argument": False,
                     "fields": [{"name": "received", "type": "std::vector<std::string>",
                                 "fields": [{"name": f"[{n}]", "type": "std::string",
                                             "value": text} for n, text in enumerate(calls)]}]},
                    {"name": "sink", "type": "PaneSink", "address": 0x7200, "size": 8,
                     "line": 1, "argument": False,
                     "fields": [{"name": "window", "type": "Window *", "pointer": 0x7100,
                                 "target": {"kind": "struct", "type": "Window", "size": 8}}]},
                    {"name": "out", "type": "std::ostream", "address": 0x7000, "size": 8,
                     "line": 1, "argument": False,
                     "fields": [{"name": "rdbuf()", "type": "std::streambuf *",
                                 "refers": 0x7200}]}]
        SOURCE[18], SOURCE[19] = '  out << "Hi";', "  out << std::endl;"
        try:
            trace = run(step(frame("main()", 17, objects())), step(frame("main()", 18, objects())),
                        step(frame("main()", 19, objects())),
                        step(frame("main()", 20, objects('"Hi\\n"'))), end())
        finally:
            del SOURCE[18], SOURCE[19]
        written, flushed = trace["questions"]
        self.assertTrue(self.choices(written)["nothing yet: the characters wait in the put area"])
        self.assertEqual(self.choices(flushed), {
            "nothing yet: the characters wait in the put area": False, '`"Hi\\n"`': True})


class Contract(unittest.TestCase):
    def test_records_and_traces_that_break_the_contract_are_refused(self):
        for record in ({"record": "steps"}, {"record": "event", "event": "lost"},
                       step(frame("main()", 12))):
            record = dict(record)
            if record["record"] == "step":
                del record["sp"]
            with self.subTest(record=str(record)[:40]), self.assertRaises(schema.Broken):
                schema.check_raw(record)
        trace = run(step(frame("main()", 12)), end())
        trace["findings"].append({"step": 0, "kind": "oops", "says": ""})
        with self.assertRaises(schema.Broken):
            schema.check_trace(trace)

    def test_objects_as_before_are_the_objects_of_the_step_before(self):
        said = step(frame("main()", 12, [{**pointer("row", 0), "argument": True}]),
                    globals_=[pointer("top", 0)])
        short = step(frame("main()", 13))
        del short["frames"][0]["objects"], short["globals"]
        with self.assertRaises(schema.Broken):  # neither its objects nor as before
            schema.check_raw(short)
        short["frames"][0]["objects as before"] = short["globals as before"] = True
        shown = list(traces.steps(run(said, short, end())))
        self.assertEqual([f["objects"] for f in shown[1]["frames"]],
                         [f["objects"] for f in shown[0]["frames"]],
                         "a step whose objects are as before draws them as the step before")


class Machine(unittest.TestCase):
    def test_a_processor_other_than_x86_64_is_refused_in_one_line(self):
        self.assertIsNone(refused("x86_64"))
        why = refused("aarch64")
        self.assertIn("aarch64", why)
        self.assertNotIn("\n", why)


if __name__ == "__main__":
    unittest.main(verbosity=1)
