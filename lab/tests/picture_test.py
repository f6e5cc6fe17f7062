#!/usr/bin/env python3
"""make picture on real runs: the lessons drawn as they run; in one scratch
copy of the tree, the slips a learner makes found where they happen and
the ways a run can go wrong (bad settings, crashes, endless loops, a closed
terminal, two runs at once, a lesson that does not build) each ending in a
true page or one line; and the page driven in Chromium.

Usage: picture_test.py CHECKOUT   (draws from its working tree, as it is)
"""
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

CHECKOUT = pathlib.Path(sys.argv.pop(1)).resolve()
sys.path.insert(0, str(CHECKOUT))
from lab.picture import schema  # noqa: E402
import traces  # noqa: E402 (beside this file)

SLIPS = """\
#include <iostream>

#include "accounts/heapcredit.h"
#include "accounts/heapledger.h"

void Show(BankAccountD account) { account.ViewAcct(); }

int& Counter() {
  int count = 7;
  return count;
}

int main() {
  OverdraftD credit("Tobias Quenford", "Flint", 223391, 8000.0, 500.0, 0.1);
  Show(credit);
  BankAccountD plain;
  plain = credit;
  int& counted = Counter();
  std::cout << counted << "\\n";
  double* row = new double[3]{1, 9.5, 3};
  double sum = 0;
  for (int i = 0; i <= 3; ++i) sum += row[i];
  delete row;
  int local = 3;
  delete &local;
  return 0;
}
"""
MANY_BLOCKS = """\
#include <iostream>
int main() {
  int* a = new int(1);
  int* b = new int(2);
  delete a;
  delete b;
  std::cout << *b << *a << "\\n";
  int* many[17000];
  for (int* &block : many) block = new int(3);
  for (int* block : many) delete block;
  std::cout << *many[16999] << "\\n";
}
"""
# Slips that the library's routines or the compiler's temporaries meet: a
# self-assignment that releases its name before copying it, a member
# reference to a by-value parameter, a reference to a returned frame's local
# passed straight on, and a unique_ptr<char[]> and a heap object released as
# they should be.
OWN = """\
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

struct Pet {
  char* name;
  explicit Pet(const char* n) : name(new char[std::strlen(n) + 1]) { std::strcpy(name, n); }
  Pet& operator=(const Pet& other) {
    delete[] name;
    name = new char[std::strlen(other.name) + 1];
    std::strcpy(name, other.name);
    return *this;
  }
  ~Pet() { delete[] name; }
};

struct Tag {
  const std::string& text;
  explicit Tag(std::string given) : text(given) {}
};

int& Latest() {
  int latest = 42;
  return latest;
}

int Twice(const int& value) { return value * 2; }

int main() {
  Pet rex("Rex the third");
  rex = rex;
  std::cout << rex.name << "\\n";
  Tag tag("a tag longer than sixteen characters");
  std::cout << tag.text.size() << "\\n";
  std::cout << Twice(Latest()) << "\\n";
  std::unique_ptr<char[]> code(new char[8]{'F', 'l', 'i', 'n', 't'});
  code.reset();
  Pet* made = new Pet("Fido");
  delete made;
  return 0;
}
"""
# Other slips of the same kinds: a released name read by operator<<, one
# object released through two pointers, a member reference to a returned
# frame's vector, and a pointer thrown with new.
OTHERS = """\
#include <iostream>
#include <vector>

struct Label {
  char* text;
  Label() : text(new char[4]{'o', 'n', 'e'}) {}
  ~Label() { delete[] text; }
};

struct Holder {
  const std::vector<int>& numbers;
  explicit Holder(const std::vector<int>& given) : numbers(given) {}
};

Holder Make() {
  std::vector<int> local{1, 2, 3};
  return Holder(local);
}

int main() {
  char* name = new char[8]{'R', 'e', 'x'};
  delete[] name;
  std::cout << name << "\\n";
  Label* first = new Label;
  Label* second = first;
  delete first;
  delete second;
  Holder held = Make();
  std::cout << held.numbers.size() << "\\n";
  throw new Label;
}
"""
THROWS = """\
#include <stdexcept>
int main() { throw std::runtime_error("the rate must be below 1"); }
"""
ENDLESS = "int main() { for (volatile long turns = 0;; turns = turns + 1) {} }\n"
TEARDOWN = """
namespace {
class Crashing : public testing::Test {
 protected:
  void TearDown() override { *static_cast<volatile int*>(nullptr) = 1; }
};
TEST_F(Crashing, AfterItsBody) { BankAccountD account("Ann", 1, 2.0); }
}  // namespace
"""


# A program of the learner's own with what memory visualizers are asked to
# draw, by the line of the step that shows it: a swap through pointers (5),
# a 2-D array of row pointers (20), a map and a string stream (23), a
# library exception, a write one past a local array's end (25), and a
# reference to a map's pair (33).
MODEL = """#include <map>
#include <sstream>
#include <stdexcept>
void Swap(int* a, int* b) {
  const int kept = *a;
  *a = *b;
  *b = kept;
}
int Parse(const char* text) {
  if (*text == 0) {
    throw std::invalid_argument("empty");
  }
  return 1;
}
int main() {
  int x = 1, y = 2;
  Swap(&x, &y);
  int** grid = new int*[2];
  for (int r = 0; r < 2; ++r) grid[r] = new int[3]{r, r, r};
  std::map<std::string, int> counts{{"and", 1}, {"cat", 2}};
  std::istringstream in("12 7");
  in >> x;
  int row[3] = {0, 0, 0};
  for (int i = 0; i <= 3; ++i) {
    row[i] = i;
  }
  try {
    Parse("");
  } catch (const std::invalid_argument& error) {
    y = 0;
  }
  for (auto& entry : counts) {
    y += entry.second;
  }
  for (int r = 0; r < 2; ++r) delete[] grid[r];
  delete[] grid;
}
"""


# Another, by the line of the step that shows it: a linked list walked by a
# loop's p before a later p (30), the object std::make_shared builds (33),
# a virtual call through a base whose function is pure, and the planted slip:
# a copy assigned from a reference to a returned local (found as the copy
# assignment starts, at 9).
MODEL2 = """#include <memory>
struct Node {
  int value;
  Node* next;
};
struct Tally {
  int count = 0;
  Tally& operator=(const Tally& other) {
    count = other.count;
    return *this;
  }
};
const Tally& Larger(const Tally& a, const Tally& b) {
  Tally larger = a.count > b.count ? a : b;
  return larger;
}
struct Shape {
  virtual ~Shape() = default;
  virtual int Corners() const = 0;
};
struct Square : Shape {
  int Corners() const override { return 4; }
};
struct Point {
  int x, y;
};
int main() {
  Node* head = new Node{1, new Node{2, nullptr}};
  for (Node* p = head; p != nullptr; p = p->next) {
    head->value += p->value;
  }
  Node* p = head->next;
  auto where = std::make_shared<Point>(Point{3, 4});
  Square square;
  const Shape& shape = square;
  int corners = shape.Corners() + where->x;
  Tally plain, one, two;
  two.count = corners;
  plain = Larger(one, two);
  delete p;
  delete head;
}
"""


def copied(scratch):
    """A copy of the checkout's working tree."""
    top = pathlib.Path(scratch, "a tree")
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=CHECKOUT,
                           capture_output=True, text=True).stdout
    for name in files.split("\n"):
        if name and (CHECKOUT / name).is_file():
            (top / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(CHECKOUT / name, top / name)
    return top


def draw(top, **settings):
    """make picture with the settings: (what it said, the trace or None)."""
    env = {k: v for k, v in os.environ.items() if k not in ("NAME", "TEST", "INPUT", "FILE")}
    done = subprocess.run(["make", "-s", "picture"], cwd=top, capture_output=True, text=True,
                          env={**env, **settings})
    name = (settings.get("NAME") or settings.get("TEST", "")).replace("/", "-")
    trace = top / f"build/pictures/{name}.json"
    trace = json.loads(trace.read_text()) if not done.returncode else None
    if trace:
        schema.check_trace(trace)
    return done, trace


def said(trace, kind):
    return [f["says"] for f in trace["findings"] if f["kind"] == kind]


def kinds(trace, kind):
    return [f for f in trace["findings"] if f["kind"] == kind]


class Lessons(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ledger = draw(CHECKOUT, NAME="ledgerdemo")[1]

    def test_the_ledger_copies_a_name_into_a_block_of_its_own(self):
        step = next(s for s in traces.steps(self.ledger) if s["at"] == "demos/ledgerdemo.cpp:14")
        blocks = {b["id"]: b for b in step["blocks"]}
        account = {o["name"]: o for o in step["frames"][-1]["objects"]}
        client = {name: next(f["block"] for f in account[name]["fields"] if f["name"] == "client")
                  for name in ("plain", "mirela")}
        self.assertNotEqual(client["plain"], client["mirela"],
                            "after plain = mirela the two accounts share a block")
        self.assertEqual({blocks[b]["text"] for b in client.values()}, {"Mirela Vont"})
        self.assertEqual(self.ledger["findings"], [])
        alone = subprocess.run([CHECKOUT / "build/picture/demos/ledgerdemo"],
                               capture_output=True, text=True).stdout
        self.assertEqual(self.ledger["output"], alone,
                         "the drawn run printed other output than the program alone")

    def test_a_shallow_copy_shows_as_a_shared_block_then_a_second_release(self):
        with tempfile.TemporaryDirectory() as scratch:
            top = copied(scratch)
            patch = CHECKOUT / "mistakes/01-shallow-copy-constructor.patch"
            subprocess.run(["patch", "-s", "-p1", "-i", str(patch)], cwd=top, check=True)
            findings = draw(top, NAME="ledgerdemo")[1]["findings"]
        found = [f["kind"] for f in findings]
        self.assertEqual(found[0], "shared block", findings)
        self.assertIn("BankAccountD(BankAccountD const&)", findings[0]["function"],
                      "the finding must name the copy constructor")
        self.assertTrue({"double free", "use after free"} & set(found[1:]), findings)

    def test_an_exception_unwinding_a_block_draws_its_objects_until_destroyed(self):
        steps = list(traces.steps(draw(CHECKOUT, NAME="freethrow")[1]))
        leaving = next(n for n, s in enumerate(steps) if "leaves this block" in s["says"])
        rates = [o for f in steps[leaving]["frames"] for o in f["objects"] if o["name"] == "rates"]
        self.assertTrue(rates and "state" not in rates[0], "the array left the page before "
                                                           "its destructor ran")
        self.assertEqual(len(next(b for b in steps[leaving]["blocks"] if "id" in b and b["id"] == 1)
                             .get("elements", [])), 5, "its block was drawn empty")
        self.assertIn("being destroyed", [o.get("state") for f in steps[leaving + 1]["frames"]
                                          for o in f["objects"] if o["name"] == "rates"])

    def test_blocks_a_global_still_points_to_at_the_end_are_not_leaks(self):
        # The teller's accounts are never released, on purpose: a global
        # array points to them until the program ends.
        findings = draw(CHECKOUT, NAME="tellerdemo")[1]["findings"]
        self.assertEqual([f["kind"] for f in findings], ["kept to the end"] * 3, findings)
        self.assertIn("`accounts` still points to it", findings[0]["says"])

    def test_the_page_shows_the_running_frame_follows_a_click_and_asks(self):
        modules = CHECKOUT / "build/browser/node_modules"
        self.assertTrue((modules / "puppeteer-core").is_dir() and shutil.which("node"),
                        "the page in Chromium needs node and npm's puppeteer-core in "
                        "build/browser, which make test-all installs")
        draw(CHECKOUT, NAME="lineread")
        done = subprocess.run(["node", CHECKOUT / "lab/tests/picture_page.js",
                               CHECKOUT / "build/pictures/ledgerdemo.html", modules,
                               CHECKOUT / "build/pictures/lineread.html"],
                              capture_output=True, text=True, timeout=120)
        seen = json.loads(done.stdout or "{}")
        self.assertNotIn("failed", seen, done.stderr)
        self.assertEqual(seen["errors"], [], "the page threw")
        self.assertTrue(seen["deepest"]["inView"], "at its deepest step the running frame "
                                                   "is out of view")
        self.assertEqual(seen["clicked"]["landed"], seen["clicked"]["line"],
                         "a click on a source line did not land on a step that runs it")
        first, second = seen["answers"]
        self.assertIn("plain.client", first["question"])
        self.assertTrue(first["right"], "a new block is the right prediction: " + first["said"])
        self.assertFalse(second["right"], "an old block is not: " + second["said"])
        self.assertIn("a new block", second["said"], "a wrong prediction must say the answer")
        self.assertEqual(second["score"], "· predicted 1 of 2")
        wrong, right = seen["choices"]
        self.assertIn("getline()", wrong["question"])
        self.assertFalse(wrong["right"], "a wrong choice was taken as right: " + wrong["said"])
        self.assertIn("getline() takes the # and drops it", wrong["said"])
        self.assertTrue(right["right"], "the right choice was not: " + right["said"])
        self.assertIn("get() leaves the # in the input", right["said"])
        self.assertEqual(right["score"], "· predicted 1 of 2")


def setUpModule():
    """One scratch tree with the slips: a name block one byte short (strlen
    without + 1), an assignment that forgets the balance, and a program that
    slices, keeps a reference to a returned frame's local, reads past an
    array and releases what new[] or no new made; beside it, programs that
    go wrong in other ways."""
    scratch = tempfile.TemporaryDirectory()
    top = copied(scratch.name)
    edits = {"accounts/namecopy.h": ("std::strlen(s) + 1", "std::strlen(s)"),
             "accounts/heapledger.cpp": ("  balance = ba.balance;\n  return", "  return")}
    for path, (old, new) in edits.items():
        (top / path).write_text((top / path).read_text().replace(old, new))
    for name, text in (("ledgerdemo", SLIPS), ("pairshow", MANY_BLOCKS),
                       ("friendcount", THROWS), ("lineread", ENDLESS), ("freethrow", OWN),
                       ("incomeyears", OTHERS)):
        (top / f"demos/{name}.cpp").write_text(text)
    test = top / "tests/heapledger_test.cpp"
    test.write_text(test.read_text() + TEARDOWN)
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "slips"]):
        subprocess.run(["git", "-c", "user.name=t", "-c", "user.email=t@t", *command],
                       cwd=top, check=True)
    done, trace = draw(top, NAME="ledgerdemo")
    assert trace, done.stdout + done.stderr
    for each in (Slips, OwnPrograms, RunsThatGoWrong):
        each.scratch, each.top, each.trace = scratch, top, trace


def tearDownModule():
    Slips.scratch.cleanup()


class Slips(unittest.TestCase):
    """The slips of the scratch tree, each found where it happens."""

    def test_a_name_block_one_byte_short_is_written_past_its_end_in_strcpy(self):
        found = kinds(self.trace, "past the end")
        self.assertTrue(found, "no write past the end of the name block was found")
        self.assertRegex(found[0]["says"], r"CopyOf.* writes the first byte past the end of "
                                           r"block \d+ .*in a call of strcpy")

    def test_a_reference_to_a_returned_frames_local_is_dangling(self):
        found = kinds(self.trace, "dangling")
        self.assertTrue(found and "`count` of Counter()" in found[0]["says"], found)
        self.assertEqual(self.trace["steps"][found[0]["step"]]["at"], "demos/ledgerdemo.cpp:19",
                         "the finding belongs to the step that uses the reference")

    def test_an_assignment_that_forgets_a_field_differs_from_its_source(self):
        self.assertIn("`plain.balance` is 0 where `credit.balance` is 8000",
                      " ".join(f["says"] for f in kinds(self.trace, "copy differs")))

    def test_an_overdraft_passed_by_value_as_a_plain_account_is_sliced(self):
        found = [f["says"] for f in kinds(self.trace, "sliced")]
        self.assertTrue(any(s.startswith("the copy of `credit` for `Show`") for s in found), found)
        self.assertIn("`loanLimit`, `rate`, `owed`, `codeName` are left behind", found[0])

    def test_delete_of_a_new_array_and_of_a_stack_object_are_bad_releases(self):
        found = " ".join(f["says"] for f in kinds(self.trace, "bad release"))
        self.assertIn("came from new[] and main() releases it with delete", found)
        self.assertIn("`local`, an object on the stack", found)
        self.assertIn("main() reads [3], past the end of block", " ".join(
            f["says"] for f in kinds(self.trace, "past the end")), "the read of row[3]")

    def test_what_a_library_routine_or_a_temporary_meets_is_found_and_nothing_false(self):
        trace = draw(self.top, NAME="freethrow")[1]
        self.assertEqual(trace["end"], "exit 0", "the run did not go on past the slips")
        self.assertEqual(said(trace, "use after free"), [
            "Pet::operator=(Pet const&) reads block 1, in a call of strlen after "
            "Pet::operator=(Pet const&) released it"])
        dangling = " ".join(said(trace, "dangling"))
        self.assertIn("`tag.text` refers to `given` of Tag::Tag(std::string)", dangling)
        self.assertIn("`value` refers to `latest` of Latest()", dangling)
        self.assertEqual(said(trace, "bad release"), [], "a release was matched to the wrong "
                                                        "form of new")
        fido = [c for c in trace["calls"] if c["kind"] == "destructor" and c["object"] ==
                "the `Pet`"]
        self.assertEqual(len(fido[0]["released"]), 1, "the destructor of a heap Pet released "
                                                      "its name, not its own block")

    def test_other_slips_of_those_kinds_are_found_and_a_thrown_pointer_is_followed(self):
        trace = draw(self.top, NAME="incomeyears")[1]
        self.assertIn("signal SIGABRT", trace["end"], "the tracer did not follow the throw")
        self.assertRegex(" ".join(said(trace, "use after free")), r"main\(\) reads block 1, in a "
                                                                 r"call of \w+")
        self.assertTrue(said(trace, "double free"), trace["findings"])
        self.assertIn("`held.numbers` refers to `local` of Make()",
                      " ".join(said(trace, "dangling")))
        self.assertFalse([s for s in trace["steps"] if "exception object" in s["says"]],
                         "new built the Label, not the throw")

    def test_each_use_after_free_is_found_also_past_16384_blocks(self):
        done, trace = draw(self.top, NAME="pairshow")
        found = [f["block"] for f in kinds(trace, "use after free")]
        self.assertEqual(found[:2], [2, 1], "each released block's first use is a finding")
        self.assertGreater(max(found), 16384, "a block past the recorder's first 16,384 was missed")


class OwnPrograms(unittest.TestCase):
    """make run FILE= and make picture FILE= on files of the learner's own."""

    def own(self, command, **settings):
        """make run or make picture on a file of the learner's own: what it
        said, and the checkout's status before and after."""
        status = lambda: subprocess.run(["git", "status", "--porcelain"], cwd=self.top,
                                        capture_output=True, text=True).stdout
        before = status()
        env = {k: v for k, v in os.environ.items() if k not in ("NAME", "TEST", "INPUT", "FILE")}
        done = subprocess.run(["make", "-s", command], cwd=self.top, capture_output=True,
                              text=True, env={**env, **settings}, stdin=subprocess.DEVNULL)
        self.assertEqual(status(), before, "the learner's file changed the checkout")
        self.assertNotIn("Traceback", done.stdout + done.stderr)
        return done

    def test_a_learners_own_shallow_copy_is_found_drawn_and_run(self):
        (self.top / "scratch").mkdir(exist_ok=True)
        pet = (CHECKOUT / "docs/pet.cpp").read_text().replace(
            "Pet(const Pet& other) : name_(new char[std::strlen(other.name_) + 1]) {\n"
            "    std::strcpy(name_, other.name_);", "Pet(const Pet& other) : name_(other.name_) {")
        (self.top / "scratch/pet.cpp").write_text(pet)
        self.own("picture", FILE="scratch/pet.cpp")
        trace = json.loads((self.top / "build/pictures/pet.cpp.json").read_text())
        found = {f["kind"]: trace["steps"][f["step"]]["at"] for f in trace["findings"]}
        self.assertRegex(found.get("shared block", ""), r"^scratch/pet\.cpp:\d+$", found)
        self.assertRegex(found.get("double free", ""), r"^scratch/pet\.cpp:\d+$", found)
        ran = self.own("run", FILE="scratch/pet.cpp")
        self.assertNotEqual(ran.returncode, 0)
        self.assertRegex(ran.stdout, r"a block was (used after delete\[\] released it|released "
                                     r"twice)[\s\S]*scratch/pet\.cpp:\d+[\s\S]*to draw it: "
                                     r"make picture FILE=scratch/pet\.cpp")

    def test_a_file_outside_the_checkout_uses_a_lesson_and_reads_its_input(self):
        folder = pathlib.Path(self.scratch.name, "my work")
        folder.mkdir(exist_ok=True)
        (folder / "ask name.cpp").write_text(
            '#include <iostream>\n\n#include "arrays/scorelist.h"\n\n'
            "int main() {\n  ScoreList rates(2, 0.0);\n  std::cin >> rates[0] >> rates[1];\n"
            '  std::cout << "Average: " << rates.Average() << "\\n";\n}\n')
        (folder / "in put.txt").write_text("0.5 0.75\n")
        settings = {"FILE": str(folder / "ask name.cpp"), "INPUT": str(folder / "in put.txt")}
        drawn = self.own("picture", **settings)
        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        trace = json.loads((self.top / "build/pictures/ask name.cpp.json").read_text())
        self.assertIn("Average: 0.625", trace["output"])
        self.assertTrue(any(s["at"].startswith(str(folder)) for s in trace["steps"]))
        ran = self.own("run", **settings)
        self.assertEqual(ran.returncode, 0, ran.stderr)
        self.assertIn("Average: 0.625", ran.stdout)

    def test_a_file_that_does_not_compile_is_refused_with_the_compilers_lines(self):
        bad = pathlib.Path(self.scratch.name, "bad.cpp")
        bad.write_text("int main() { return missing; }\n")
        done = self.own("picture", FILE=str(bad))
        self.assertNotEqual(done.returncode, 0)
        self.assertIn(f"{bad}:1:21: error:", done.stderr)
        self.assertIn("does not compile: nothing was drawn", done.stderr)

    def test_careless_files_get_true_reasons_and_nothing_is_left_running(self):
        mine = pathlib.Path(self.scratch.name, "careless")
        mine.mkdir(exist_ok=True)
        (mine / "no main.cpp").write_text("int Twice(int x) { return 2 * x; }\n")
        done = self.own("run", FILE=str(mine / "no main.cpp"))
        self.assertRegex(done.stderr, r"has no main\(\): a program starts there, so nothing "
                                      r"was run\n(make.*\n)?$")
        (mine / "fork.cpp").write_text(
            "#include <unistd.h>\n#include <cstdio>\nint main() {\n  const pid_t child = fork();"
            "\n  if (child == 0) { sleep(25); return 0; }\n"
            '  std::printf("child %d\\n", static_cast<int>(child));\n'
            '  std::fprintf(stderr, "==========\\nwarning: my own\\nx.cpp:1:2: runtime error: '
            'mine too\\n");\n}\n')
        said = {}
        for command in ("run", "picture"):
            with self.subTest(command=command):
                done = said[command] = self.own(command, FILE=str(mine / "fork.cpp"))
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                out = done.stdout if command == "run" else json.loads(
                    (self.top / "build/pictures/fork.cpp.json").read_text())["output"]
                child = re.search(r"child (\d+)", out).group(1)
                time.sleep(2)
                stat = pathlib.Path(f"/proc/{child}/stat")
                self.assertTrue(not stat.exists() or ") Z " in stat.read_text(),
                                "the program's child still runs after the command answered")
        self.assertIn("==========\nwarning: my own\nx.cpp:1:2: runtime error: mine too\n",
                      said["run"].stderr, "the program's own standard error was not passed on")

    def drawn_own(self, name, text):
        """A program of one's own, outside the checkout, drawn: (its path,
        the trace, the steps with their pieces in place)."""
        mine = pathlib.Path(self.scratch.name, name)
        mine.write_text(text)
        self.own("picture", FILE=str(mine))
        trace = json.loads((self.top / f"build/pictures/{name}.json").read_text())
        return mine, trace, list(traces.steps(trace))

    def test_a_learners_program_is_drawn_by_what_it_holds(self):
        mine, trace, steps = self.drawn_own("model.cpp", MODEL)

        def drawn(line, name):
            step = next(s for s in steps if s["at"] == f"{mine}:{line}")
            return step, next(o for f in step["frames"] for o in f["objects"] if o["name"] == name)

        step, a = drawn(5, "a")
        x = next(o for f in step["frames"] for o in f["objects"] if o["name"] == "x")
        self.assertEqual((a.get("refers"), a.get("points")), (x["address"], True), a)
        step, grid = drawn(20, "grid")
        rows = {b["id"]: b for b in step["blocks"]}
        self.assertEqual([e.get("block") for e in rows[grid["block"]]["elements"]],
                         [b for b in sorted(rows) if b != grid["block"]])
        self.assertEqual(drawn(23, "counts")[1]["fields"][0], {"name": '["and"]', "value": "1"})
        self.assertEqual(drawn(23, "in")[1]["fields"][1], {"name": "to read", "value": '" 7"'})
        self.assertEqual(drawn(33, "entry")[1]["value"], 'counts["and"]')
        thrown = next(b for s in steps for b in s["blocks"] if b.get("exception"))
        self.assertEqual(thrown["object"]["fields"], [{"name": "what()", "value": '"empty"'}])
        past = [s["at"] for s in steps for f in trace["findings"] if f["kind"] == "past the end"
                and s is steps[f["step"]]]
        self.assertEqual(past, [f"{mine}:25"], trace["findings"])
        self.assertEqual([f["kind"] for f in trace["findings"]], ["past the end"],
                         "a finding on what the program does right")

    def test_a_learners_list_shared_pointer_and_dangling_copy_are_drawn_truly(self):
        mine, trace, steps = self.drawn_own("model2.cpp", MODEL2)
        in_loop = next(s for s in steps if s["at"] == f"{mine}:30")
        self.assertEqual([o["name"] for f in in_loop["frames"] for o in f["objects"]].count("p"),
                         1, "a loop's p drawn beside a later p of the same name")
        shared = next(b for s in steps for b in s["blocks"] if "object" in b
                      and b["object"]["type"] == "Point")
        self.assertEqual((shared["at"], shared["object"]["fields"][0]["value"]),
                         (f"{mine}:33", "3"), shared)
        self.assertEqual(trace["questions"], [], "a pure virtual function was offered")
        self.assertEqual([(f["kind"], steps[f["step"]]["at"].rsplit(":")[-1])
                          for f in trace["findings"]], [("dangling", "9")], trace["findings"])

    def test_a_run_ends_under_the_picture_as_it_ends_without_it(self):
        mine = self.top / "scratch/week1/deep"  # followed at any depth of the checkout
        mine.mkdir(parents=True, exist_ok=True)
        (mine / "ends.cpp").write_text(
            "#include <csignal>\n#include <cstdio>\n#include <cstring>\n"
            "int Asked(const char* how) { return std::strcmp(how, \"raise\"); }\n"
            "int main(int, char**) {\n  std::printf(\"before\\n\");\n"
            "  if (Asked(\"raise\") == 0) std::raise(SIGSEGV);\n"
            "  std::printf(\"after\\n\");\n}\n")
        (mine / "huge.cpp").write_text(
            "#include <cstring>\nint main() {\n  char* text = new char[std::strlen(\"\") - 1];\n"
            "  return text != nullptr;\n}\n")
        self.own("picture", FILE="scratch/week1/deep/ends.cpp")
        trace = json.loads((self.top / "build/pictures/ends.cpp.json").read_text())
        self.assertEqual(trace["end"], "signal SIGSEGV, which the program sent itself")
        self.assertEqual(trace["output"], "before\n")
        self.assertIn("Asked(char const*)", {s["function"] for s in trace["steps"]},
                      "a function of a file two folders deep was not followed")
        self.own("picture", FILE="scratch/week1/deep/huge.cpp")
        trace = json.loads((self.top / "build/pictures/huge.cpp.json").read_text())
        self.assertTrue(trace["end"].startswith("signal SIGABRT"), trace["end"])
        self.assertIn("std::bad_alloc", trace["errors"])


class RunsThatGoWrong(unittest.TestCase):
    """The ways a run can go wrong, each ending in a true page or one line."""

    def test_bad_settings_and_names_are_refused_in_one_line(self):
        for settings in ({"NAME": "ledgerdemo", "STEPS": "abc"}, {"NAME": "ledgerdemo", "STEPS": "0"},
                         {"NAME": "ledgerdemo", "SECONDS": "abc"},
                         {"NAME": "ledgerdemo", "SECONDS": "-3"}, {"TEST": "BankAccountD.("},
                         {"TEST": "BankAccountD.Displays.*"},
                         {"TEST": "Overdrafts/0.GrantedAdvanceAlwaysCompletesAndEmptiesTheAccount"},
                         {"NAME": "ledgerdemo", "TEST": "Crashing.AfterItsBody"},
                         {"FILE": "demos/samples"}, {"FILE": "README.md"},
                         {"FILE": "no/such.cpp"}, {"FILE": "demos/pairshow.cpp",
                                                   "NAME": "pairshow"}):
            with self.subTest(**settings):
                done, _ = draw(self.top, **settings)
                self.assertNotEqual(done.returncode, 0)
                self.assertRegex(done.stderr, r"^make picture: [^\n]*\n(make(\[\d+\])?: .*\n)?$")

    def test_typed_text_stays_as_typed_and_cannot_change_the_page(self):
        typed = pathlib.Path(self.scratch.name, "typed.in")
        typed.write_text("<!--<script>Zed\n9\n900\n2\nYu\n8\n800\n1\nXi\n7\n700\n2\n")
        done, trace = draw(self.top, NAME="tellerdemo", INPUT=str(typed))
        page = (self.top / "build/pictures/tellerdemo.html").read_text()
        self.assertIn("<!--<script>Zed", trace["output"])
        inside = page.split('id="trace" type="application/json">', 1)[1].split("</script>")[0]
        self.assertEqual(json.loads(inside)["output"], trace["output"],
                         "what the program printed changed the page")

    def test_a_part_of_a_step_that_breaks_leaves_its_traceback_and_the_page_is_drawn(self):
        values = self.top / "lab/picture/observer/values.py"
        kept = values.read_text()
        start = "    found, queue = {}, list(pointers)\n"
        values.write_text(kept.replace(start, start + "    {}['a bug of the picture']\n"))
        try:
            done, trace = draw(self.top, NAME="pairshow")
        finally:
            values.write_text(kept)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertGreater(len(trace["steps"]), 5, "the steps were lost with the blocks")
        broke = [n["says"] for n in trace["notes"] if "could not read the blocks" in n["says"]]
        self.assertTrue(broke and "KeyError" in broke[0], trace["notes"])
        self.assertFalse(trace["why"].startswith("the tracer broke"), "one part ended the run")

    def test_a_crash_after_the_traced_body_still_draws_the_body(self):
        done, trace = draw(self.top, TEST="Crashing.AfterItsBody")
        self.assertNotIn("Traceback", done.stdout + done.stderr)
        self.assertIn("after the traced part, in (anonymous namespace)::Crashing::TearDown",
                      trace["end"])
        self.assertIn("a pointer that points nowhere valid", trace["why"])

    def test_an_uncaught_exceptions_message_is_on_the_page(self):
        trace = draw(self.top, NAME="friendcount")[1]
        self.assertIn("what():  the rate must be below 1", trace["errors"])
        self.assertIn("the rate must be below 1", trace["why"])

    def test_an_endless_loop_ends_within_its_seconds_with_a_page(self):
        began = time.monotonic()
        done, trace = draw(self.top, NAME="lineread", SECONDS="3")
        self.assertLess(time.monotonic() - began, 3 + 10)
        self.assertIn("cut at the time limit", trace["end"])

    def test_a_closed_terminal_leaves_nothing_running(self):
        make = subprocess.Popen(["make", "-s", "picture", "NAME=lineread"], cwd=self.top,
                                start_new_session=True, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(6)  # the build is done: GDB runs the endless loop
        os.killpg(make.pid, signal.SIGHUP)
        make.wait(timeout=20)
        time.sleep(1)
        running = subprocess.run(["pgrep", "-f", f"{self.top}/build/picture/demos/lineread"],
                                 capture_output=True, text=True).stdout
        self.assertEqual(running, "", "GDB or the program still runs")

    def test_two_runs_at_once_keep_their_own_output(self):
        inputs = []
        for name in ("Ann", "Bob"):
            inputs.append(pathlib.Path(self.scratch.name, f"{name}.in"))
            inputs[-1].write_text(f"{name}\n1\n100\n1\nCy\n2\n200\n2\nDi\n3\n300\n1\n")
        env = {k: v for k, v in os.environ.items() if k not in ("NAME", "TEST", "INPUT", "FILE")}
        runs = [subprocess.Popen(["make", "-s", "picture", "NAME=tellerdemo", f"INPUT={i}"],
                                 cwd=self.top, env=env, stdout=subprocess.DEVNULL)
                for i in inputs]
        self.assertEqual([run.wait() for run in runs], [0, 0])
        output = json.loads((self.top / "build/pictures/tellerdemo.json").read_text())["output"]
        self.assertNotEqual("Ann" in output, "Bob" in output, "one page holds both runs' output")
        # Two files of one's own while the lessons' archives are rebuilt and the
        # build configured again: both are drawn.
        for archive in (self.top / "build/picture").glob("*/lib*.a"):
            archive.unlink()
        (self.top / "build/picture/configured").unlink()
        mine = []
        for name in ("one", "two"):
            mine.append(pathlib.Path(self.scratch.name, f"{name}.cpp"))
            mine[-1].write_text((CHECKOUT / "docs/pet.cpp").read_text())
        runs = [subprocess.Popen(["make", "-s", "picture", f"FILE={m}"], cwd=self.top, env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                for m in mine]
        said = [run.communicate()[1][-600:] for run in runs]
        self.assertEqual([run.returncode for run in runs], [0, 0], said)

    def test_a_lesson_that_does_not_build_leaves_no_page_looking_current(self):
        self.assertTrue(draw(self.top, NAME="pairshow")[1])
        source = self.top / "demos/pairshow.cpp"
        kept = source.read_text()
        source.write_text(kept + "does not compile\n")
        try:
            done, _ = draw(self.top, NAME="pairshow")
        finally:
            source.write_text(kept)
        self.assertNotEqual(done.returncode, 0)
        self.assertIn("did not draw pairshow again", (self.top / "build/pictures/pairshow.html")
                      .read_text())
        self.assertFalse((self.top / "build/pictures/pairshow.json").exists())


if __name__ == "__main__":
    unittest.main(verbosity=1)
