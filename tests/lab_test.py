#!/usr/bin/env python3
"""Checks of the lab around the lessons, each on a fresh clone whose path has
a space in it: no exercise command loses a learner's work or changes half
of what it says, the gallery runs on the committed lessons and leaves the
README alone, and the scripts fail in words, not in tracebacks.

Usage: lab_test.py CHECKOUT   (its scripts/ as they are, committed or not)
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECKOUT = pathlib.Path(sys.argv.pop(1)).resolve()
MODEL = "  if (i < 0 || static_cast<std::uint32_t>(i) >= size) throw BadIndex(i);"
STALE = """<testsuites><testsuite name="BankAccountD"><testcase classname="BankAccountD"
 name="CopiesOwnTheirNamesAfterTheSourceIsGone"><failure/></testcase></testsuite></testsuites>"""


class Lab(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.top = pathlib.Path(self.scratch.name, "a clone")
        subprocess.run(["git", "clone", "-q", str(CHECKOUT), str(self.top)],
                       check=True)
        shutil.copytree(CHECKOUT / "scripts", self.top / "scripts",
                        dirs_exist_ok=True)
        self.commit("the scripts as they are")

    def tearDown(self):
        self.scratch.cleanup()

    def run_(self, *command, **env):
        return subprocess.run(command, cwd=self.top, capture_output=True,
                              text=True, env={**os.environ, **env})

    def commit(self, message):
        self.run_("git", "-c", "user.name=Learner", "-c", "user.email=l@x",
                  "commit", "-qam", message, "--allow-empty")

    def exercise(self, *args):
        done = self.run_("python3", "scripts/exercise.py", *args)
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
        done = self.run_("python3", "-c", "import mistakes; mistakes.fresh_tree()",
                         PYTHONPATH="scripts")
        self.assertEqual(done.returncode, 0, done.stderr)
        tree = self.top / "build/mistakes/tree/accounts/heapledger.cpp"
        self.assertNotIn("// mine", tree.read_text(), "the learner's change is in play")

    def test_the_gallery_leaves_the_readme_alone_unless_asked(self):
        self.write("README.md", self.file("README.md").replace("| `pairshow` |", "| `pair` |"))
        done = self.run_("python3", "-c", "import mistakes; print(mistakes.readme([], write=False))",
                         PYTHONPATH="scripts")
        self.assertIn("make tables", done.stdout)
        self.assertIn("| `pair` |", self.file("README.md"), "the README was rewritten")

    def test_a_run_where_no_test_runs_is_no_verdict(self):
        old = self.top / "build/mistakes/build/asan"  # an earlier run's report
        old.mkdir(parents=True)
        (old / "mistakes-junit.xml").write_text(STALE)
        (self.top / "build/asan").mkdir(parents=True)  # a folder without tests
        done = self.run_("python3", "-c", "import mistakes; print(mistakes.judged(mistakes.TOP))",
                         PYTHONPATH="scripts")
        self.assertIn("no test ran", done.stdout, done.stderr)

    def test_an_unknown_preset_is_named_not_a_traceback(self):
        done = self.run_("python3", "scripts/testreport.py", "nosuch")
        self.assertIn('"nosuch"', done.stdout + done.stderr)
        self.assertNotEqual(done.returncode, 0)
        self.assertNotIn("Traceback", done.stderr)

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
        done = self.run_("python3", "-c", "import typed; print(int(typed.read_syscall()))",
                         PYTHONPATH="scripts")
        header = subprocess.run(["cpp", "-P"], input="#include <sys/syscall.h>\nSYS_read\n",
                                capture_output=True, text=True).stdout.split()[-1]
        self.assertEqual(done.stdout.strip(), header, done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=1)
