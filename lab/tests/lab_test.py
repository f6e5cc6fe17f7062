#!/usr/bin/env python3
"""Checks of the lab around the lessons, each on a fresh clone of the
working tree whose path has a space in it: no exercise command loses a
learner's work or changes half of what it says, the gallery runs on the
committed lessons and leaves the README alone, the scripts fail in words,
not in tracebacks, the list of programs takes any name, and make test's
verdicts do not hang on its sentences nor on reused outcomes and name a
program that prints without end.

Usage: lab_test.py CHECKOUT   (its working tree as it is, committed or not)
"""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECKOUT = pathlib.Path(sys.argv.pop(1)).resolve()
MODEL = "  if (i < 0 || static_cast<std::uint32_t>(i) >= size) throw BadIndex(i);"
SHALLOW = CHECKOUT / "mistakes/01-shallow-copy-constructor.patch"


def clone(scratch):
    """A clone of the checkout holding its working tree as it is, committed."""
    top = pathlib.Path(scratch, "a clone")
    subprocess.run(["git", "clone", "-q", str(CHECKOUT), str(top)], check=True)
    files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=CHECKOUT,
                           capture_output=True, text=True).stdout.splitlines()
    for name in files:
        if (CHECKOUT / name).is_file():
            (top / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(CHECKOUT / name, top / name)
    subprocess.run(["git", "add", "-A"], cwd=top, check=True)
    return top


class Lab(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.top = clone(self.scratch.name)
        self.commit("the working tree as it is")

    def tearDown(self):
        self.scratch.cleanup()

    def run_(self, *command, **env):
        return subprocess.run(command, cwd=self.top, capture_output=True,
                              text=True, env={**os.environ, **env})

    def commit(self, message):
        self.run_("git", "-c", "user.name=Learner", "-c", "user.email=l@x",
                  "commit", "-qam", message, "--allow-empty")

    def exercise(self, *args):
        done = self.run_("python3", "-m", "lab.commands.exercise", *args)
        self.assertNotIn("Traceback", done.stderr)
        return done

    def file(self, path):
        return (self.top / path).read_text()

    def write(self, path, text):
        (self.top / path).write_text(text)

    def attempts(self, name):
        return sorted((self.top / "exercises/attempts" / name).glob("*/**/*.cpp"))

    def test_undo_with_a_file_gone_keeps_the_work_and_a_retry_harms_nothing(self):
        self.exercise("checked-subscripts")
        self.write("arrays/scorelist.cpp", self.file("arrays/scorelist.cpp") + "// mine\n")
        (self.top / "arrays/offsetrow.cpp").rename(self.top / "moved.cpp")
        self.assertEqual(self.exercise("--undo", "checked-subscripts").returncode, 0)
        self.exercise("--undo", "checked-subscripts")
        self.assertIn("// mine", self.attempts("checked-subscripts")[0].read_text(),
                      "the learner's code was lost")
        self.assertEqual(self.run_("git", "status", "--porcelain", "arrays").stdout, "")

    def test_a_second_attempt_is_kept_beside_the_first(self):
        for attempt in ("// first\n", "// second\n"):
            self.exercise("deep-copy")
            self.write("accounts/heapledger.cpp", self.file("accounts/heapledger.cpp") + attempt)
            self.exercise("--undo", "deep-copy")
        kept = [path.read_text() for path in self.attempts("deep-copy")]
        self.assertTrue(any("// first" in text for text in kept), "the first attempt was overwritten")
        self.assertTrue(any("// second" in text for text in kept))

    def test_handing_out_over_a_commit_of_ones_own_changes_nothing(self):
        self.exercise("deep-copy")
        self.write("accounts/heapledger.cpp", self.file("accounts/heapledger.cpp") + "// mine\n")
        self.commit("my answer")
        self.assertNotEqual(self.exercise("deep-copy").returncode, 0)
        self.assertEqual(self.run_("git", "status", "--porcelain").stdout, "")
        self.assertIn("CopyOf(ba.client)", self.exercise("--answer", "deep-copy").stdout,
                      "the model answer was lost")
        self.exercise("--undo", "deep-copy")
        self.assertIn("CopyOf(ba.client)", self.file("accounts/heapledger.cpp"))

    def test_a_hand_out_that_does_not_fit_leaves_no_trace(self):
        self.write("arrays/scorelist.cpp", self.file("arrays/scorelist.cpp").replace(MODEL, "  // mine"))
        self.commit("my own subscripts")
        self.assertNotEqual(self.exercise("checked-subscripts").returncode, 0)
        self.assertEqual(self.run_("git", "status", "--porcelain", "--ignored").stdout, "")
        self.assertIn("not handed out", self.exercise("--undo", "checked-subscripts").stderr)

    def test_the_exercise_outlives_the_build_folder(self):
        self.exercise("checked-subscripts")
        shutil.rmtree(self.top / "build", ignore_errors=True)
        self.assertIn(MODEL, self.exercise("--answer", "checked-subscripts").stdout)
        self.assertEqual(self.exercise("--undo", "checked-subscripts").returncode, 0)
        self.assertIn(MODEL, self.file("arrays/scorelist.cpp"))

    def test_the_gallery_works_on_the_committed_lessons(self):
        self.write("accounts/heapledger.cpp", "// mine\n" + self.file("accounts/heapledger.cpp"))
        done = self.run_("python3", "-c", "from lab.commands import mistakes; mistakes.fresh_tree()")
        self.assertEqual(done.returncode, 0, done.stderr)
        tree = self.top / "build/mistakes/tree/accounts/heapledger.cpp"
        self.assertNotIn("// mine", tree.read_text(), "the learner's change is in play")

    def test_the_gallery_leaves_the_readme_alone_unless_asked(self):
        self.write("README.md", self.file("README.md").replace("| `pairshow` |", "| `pair` |"))
        done = self.run_("python3", "-c", "from lab.commands import mistakes; "
                         "print(mistakes.readme([], write=False))")
        self.assertIn("make tables", done.stdout)
        self.assertIn("| `pair` |", self.file("README.md"), "the README was rewritten")

    def test_a_run_where_no_test_runs_is_no_verdict(self):
        (self.top / "build/asan").mkdir(parents=True)  # a folder without tests
        done = self.run_("python3", "-c", "from lab.commands import mistakes; "
                         "print(mistakes.judged(mistakes.TOP))")
        self.assertIn("no test ran", done.stdout, done.stderr)

    def test_an_unknown_preset_or_option_is_named_not_a_traceback(self):
        for args in (["nosuch"], ["nosuch", "--reuse"]):  # --reuse without SECONDS too
            done = self.run_("python3", "-m", "lab.commands.testreport", *args)
            self.assertIn('"nosuch"', done.stdout + done.stderr)
            self.assertNotEqual(done.returncode, 0)
            self.assertNotIn("Traceback", done.stderr)
        done = self.run_("python3", "-m", "lab.commands.mistakes", "--bogus-flag")
        self.assertIn("unrecognized arguments: --bogus-flag", done.stderr)
        self.assertFalse((self.top / "build/mistakes").exists(), "it ran the gallery anyway")

    def test_warnings_as_errors_follows_the_command(self):
        bin_ = self.top / "fake"
        bin_.mkdir()
        (bin_ / "cmake").write_text('#!/bin/sh\necho "$@" >> "$(dirname "$0")/log"\n')
        (bin_ / "cmake").chmod(0o755)
        (self.top / "build/asan").mkdir(parents=True)
        self.write("build/asan/CMakeCache.txt", "CMAKE_COMPILE_WARNING_AS_ERROR:BOOL=OFF\n")
        self.run_("make", "test", CI="true", PATH=f"{bin_}:{os.environ['PATH']}")
        self.assertIn("--preset asan --log-level=NOTICE -DCMAKE_COMPILE_WARNING_AS_ERROR:BOOL=ON",
                      (bin_ / "log").read_text())

    def test_the_tour_finds_read_by_itself(self):
        done = self.run_("python3", "-c", "from lab.commands import tour; print(int(tour.read_syscall()))")
        header = subprocess.run(["cpp", "-P"], input="#include <sys/syscall.h>\nSYS_read\n",
                                capture_output=True, text=True).stdout.split()[-1]
        self.assertEqual(done.stdout.strip(), header, done.stderr)

    def test_the_list_of_programs_takes_a_name_with_a_digit_and_an_underscore(self):
        (self.top / "demos/demo_2.cpp").write_text(self.file("demos/pairshow.cpp"))
        self.write("demos/CMakeLists.txt", self.file("demos/CMakeLists.txt")
                   + "add_executable(demo_2 demo_2.cpp)\n")
        shutil.copytree(self.top / "tests/programs/pairshow", self.top / "tests/programs/demo_2")
        self.write("lab/programs.json", self.file("lab/programs.json").replace(
            "[\n", '[\n{"name": "demo_2", "technique": "t", "reads": "nothing", '
            '"input": null, "closing": null},\n', 1))
        self.run_("cmake", "--preset", "default", "-DBUILD_TESTING=ON")
        listed = self.run_("ctest", "--preset", "default", "-N").stdout
        self.assertIn("demo_2.output", listed, "the build dropped the program")
        self.assertIn("demo_2.writeerror", listed)
        done = self.run_("python3", "-c", "from lab.commands import mistakes; print(mistakes.tables([]))")
        self.assertIn("| `demo_2` | t | nothing |", done.stdout, done.stderr)


# As make test judges: outcomes reused, and kept for the next run.
REUSED = ("result = testreport.run('quick', 120, reuse=True)\n"
          "result.kept and testreport.write_kept(*result.kept)\n"
          "found = result.failed")


def failed(top, judged=REUSED):
    """The names of the failed tests after a rebuild, as judged (code that
    sets found, or an expression of the failures)."""
    built = subprocess.run(["cmake", "--build", "--preset", "asan"], cwd=top,
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stdout[-2000:]
    code = judged if "found = " in judged else f"found = {judged}"
    done = subprocess.run(["python3", "-c", "import json\nfrom lab.commands import mistakes, "
                           f"testreport\n{code}\nprint(json.dumps([f[1] for f in found]))"],
                          cwd=top, capture_output=True, text=True)
    assert done.stderr == "", done.stderr
    return json.loads(done.stdout)


class Verdicts(unittest.TestCase):
    """make test's verdicts, in one clone built once: they rest on data, not
    on the words of a sentence, and a reused outcome is never stale."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory()
        cls.top = clone(cls.scratch.name)
        done = subprocess.run(["make", "test"], cwd=cls.top, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
        failed(cls.top)  # the outcomes to reuse, kept in this environment

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def tearDown(self):
        subprocess.run(["git", "checkout", "--", "."], cwd=self.top)

    def failed(self, judged=REUSED):
        return failed(self.top, judged)

    def test_a_broken_lesson_fails_the_same_tests_whether_outcomes_are_reused_or_not(self):
        subprocess.run(["git", "apply", str(SHALLOW)], cwd=self.top, check=True)
        reused = self.failed()
        self.assertIn("BankAccountD.CopiesOwnTheirNamesAfterTheSourceIsGone", reused)
        self.assertEqual(reused, self.failed("testreport.run('quick', 120).failed"),
                         "a reused outcome hid a failure that a full run finds")

    def test_a_program_case_whose_input_changed_runs_again(self):
        case = self.top / "tests/programs/freethrow/table.in"
        case.write_text(case.read_text().replace("0.75", "0.25"))
        self.assertIn("freethrow.table", self.failed(), "the case's old outcome was reused")

    def test_a_suppression_taken_back_runs_the_leaking_program_again(self):
        demo, supp = self.top / "demos/pairshow.cpp", self.top / "tests/lsan.supp"
        demo.write_text(demo.read_text().replace(
            "int main() {", "int main() {\n  [[maybe_unused]] int* lost = new int(7);"))
        kept = supp.read_text()
        supp.write_text(kept + "leak:main\n")
        self.assertEqual([n for n in self.failed() if n.startswith("pairshow.")], [])
        supp.write_text(kept)
        self.assertIn("pairshow.output", self.failed(), "a stale pass hid the leak")

    def test_a_case_named_with_pattern_characters_runs_under_its_own_name(self):
        folder = self.top / "tests/programs/lineread"
        (folder / "c++(2).in").write_text("no hash at all\n")
        (folder / "c++(2).out").write_text("not what it prints\n")
        (folder / "c++(2).why").write_text("a reason\r\nwith\ta tab\n")
        try:
            self.assertIn("lineread.c++(2)", self.failed())
        finally:
            for path in folder.glob("c++(2).*"):
                path.unlink()

    def test_a_program_that_prints_without_end_is_named_so(self):
        demo = self.top / "demos/pairshow.cpp"
        demo.write_text(demo.read_text().replace("int main() {",
                                                 "int main() {\n  for (;;) std::cout << 'x';"))
        said = self.failed("[(0, f[1] + ': ' + ' '.join(f[2])) for f in testreport.run("
                           "'quick', 120, reuse=True).failed]")
        self.assertTrue(any(s.startswith("pairshow.output: ") and "printed more than 1 MiB" in s
                            for s in said), said)

    def test_broken_kept_outcomes_and_a_busy_run_give_verdicts_not_tracebacks(self):
        (self.top / "build/outcomes-quick.json").write_text("[]")
        subprocess.run(["cmake", "--build", "--preset", "asan"], cwd=self.top,
                       capture_output=True, check=True)  # the lessons as committed
        done = subprocess.run(["python3", "-m", "lab.commands.testreport", "quick", "1", "--reuse"],
                              cwd=self.top, capture_output=True, text=True)
        self.assertNotIn("Traceback", done.stdout + done.stderr)
        self.assertEqual(done.returncode, 3, "a run cut by its time is incomplete, not "
                                             "broken:\n" + done.stdout[-1500:])
        self.assertNotIn("FAILED", done.stdout, "the time cut was called a failure")
        self.assertIn("not finished", done.stdout)

    def test_a_reworded_sentence_leaves_the_gallerys_verdict(self):
        for path, old in (("lab/testmain/testmain.cpp", "stopped by the sanitizer: its report is above"),
                          ("tests/heapledger_test.cpp", "the copy constructor must give the copy")):
            (self.top / path).write_text((self.top / path).read_text().replace(old, "reworded"))
        subprocess.run(["git", "apply", str(SHALLOW)], cwd=self.top, check=True)
        row = next(line for line in (CHECKOUT / "README.md").read_text().splitlines()
                   if line.startswith("| the copy constructor copies the name pointer"))
        expected = [name.strip(" `") for name in row.split(" | ")[2].split(",")]
        judged = self.failed("mistakes.judged(mistakes.TOP)[1]")
        self.assertEqual(judged[:2], expected, "rewording a sentence changed the verdict")


if __name__ == "__main__":
    unittest.main(verbosity=1)
