"""make picture's settings, in one table: each one's name, default, check and
one line of doc, read once from what make puts in the environment. A wrong
one ends the command with a line that says so.
"""
import os
import re
from dataclasses import dataclass

from lab import TOP, fail, programs
from lab.commands import own


def whole(text):
    return bool(re.fullmatch(r"[1-9]\d{0,6}", text))


def seconds(text):
    return bool(re.fullmatch(r"\d{1,5}(\.\d+)?", text)) and float(text) > 0


def test_name(text):
    return bool(re.fullmatch(r"\w+(/\w+)?\.\w+", text))


TABLE = (  # name, default, check (or None), what it is
    ("NAME", "", None, "the program to draw, one of lab/programs.json's console programs"),
    ("INPUT", "", None, "the file the program reads as its input; its sample by default"),
    ("TEST", "", test_name, "one test, named Suite.Name as make test names it (no patterns)"),
    ("FILE", "", None, "a C++ file of your own, anywhere, drawn as a lesson is"),
    ("STEPS", "5000", whole, "the most steps to draw, a whole number from 1 to 9999999"),
    ("SECONDS", "60", seconds, "the most seconds the run may take, a number above 0"),
)


@dataclass(frozen=True)
class Settings:
    name: str  # the page's name: the program's, the test's, or the file's
    program: str  # the binary: a program, or a test binary once found
    input: str  # the file the program reads ("" for a test)
    test: str  # Suite.Name, or ""
    steps: int
    seconds: float
    own: str = ""  # the learner's own file, whole

    @property
    def suite(self):
        return self.test.partition(".")[0]

    @property
    def case(self):
        return self.test.partition(".")[2]

    @property
    def file(self):
        return self.name.replace("/", "-")  # a typed test's name has a slash


def read(environ=os.environ):
    """The settings make was given, each checked."""
    given = {name: environ.get(name) or default for name, default, _, _ in TABLE}
    for name, _, check, doc in TABLE:
        if check and given[name] and not check(given[name]):
            fail(f"{name}={given[name]}: {doc}")
    name, test = given["NAME"], given["TEST"]
    if given["FILE"]:
        if name or test:
            fail("FILE= draws a file of your own and takes INPUT=, not NAME= or TEST=")
        path = own.source(given["FILE"], "draw")
        return Settings(path.name, "", checked_input(given["INPUT"], "/dev/null"), "",
                        int(given["STEPS"]), float(given["SECONDS"]), str(path))
    if test and (name or given["INPUT"]):
        fail("it takes NAME=<program> (with INPUT=<file>) or TEST=<Suite.Name>, not both")
    if test:
        return Settings(test, "", "", test, int(given["STEPS"]), float(given["SECONDS"]))
    listed = {p["name"]: p for p in programs()}
    if listed.get(name, {}).get("window"):
        fail(f"{name} draws into a window, which a picture of memory cannot follow; draw "
             "its stream buffer's tests instead, for example "
             "make picture TEST=PaneSink.HandsOverALineAtTheFlushAndNotBefore")
    if name not in listed:
        fail((f"no program named '{name}'" if name else "it needs NAME=<program>, "
              "TEST=<Suite.Name> or FILE=<a .cpp of your own>") + "; NAME= is one of "
             + ", ".join(n for n, p in listed.items() if not p.get("window"))
             + ("" if name else f"; or {own.START}"))
    sample = listed[name]["input"]
    input_ = checked_input(given["INPUT"], str(TOP / sample) if sample else "/dev/null")
    return Settings(name, name, input_, "", int(given["STEPS"]), float(given["SECONDS"]))


def checked_input(given, default):
    """The input file, whole: the one given, which must exist, or default."""
    if given and not os.path.isfile(given):
        fail(f"no input file {given}")
    return os.path.abspath(given or default)
