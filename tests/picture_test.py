#!/usr/bin/env python3
"""make picture on real runs: the ledger drawn as it runs, a gallery mistake
found where it happens, the teller's accounts kept to the end and not taken
for leaks, and the page stepping and drawing in a browser.

Usage: picture_test.py CHECKOUT   (draws from its working tree, as it is)
"""
import json
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECKOUT = pathlib.Path(sys.argv.pop(1)).resolve()


def draw(top, name):
    done = subprocess.run(["make", "-s", "picture", f"NAME={name}"], cwd=top,
                          capture_output=True, text=True)
    if done.returncode:
        raise AssertionError(f"make picture NAME={name}: {done.stdout}{done.stderr}")
    return json.loads((top / f"build/pictures/{name}.json").read_text())


def client(step, name):
    """The block an account's name points into, in main's frame."""
    account = next(o for o in step["frames"][-1]["objects"] if o["name"] == name)
    return next(f.get("block") for f in account["fields"] if f["name"] == "client")


class Picture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ledger = draw(CHECKOUT, "ledgerdemo")

    def test_the_ledger_copies_a_name_into_a_block_of_its_own(self):
        step = next(s for s in self.ledger["steps"] if s["at"] == "demos/ledgerdemo.cpp:14")
        blocks = {b["id"]: b for b in step["blocks"]}
        self.assertNotEqual(client(step, "plain"), client(step, "mirela"),
                            "after plain = mirela the two accounts share a block")
        for name in ("plain", "mirela"):
            self.assertEqual(blocks[client(step, name)]["text"], "Mirela Vont")
        self.assertEqual(self.ledger["findings"], [])
        self.assertEqual(self.ledger["end"], "exit 0")
        alone = subprocess.run([CHECKOUT / "build/picture/demos/ledgerdemo"],
                               capture_output=True, text=True).stdout
        self.assertEqual(self.ledger["steps"][-1]["output"], alone,
                         "the drawn run printed other output than the program alone")

    def test_a_shallow_copy_shows_as_a_shared_block_then_a_second_release(self):
        with tempfile.TemporaryDirectory() as scratch:
            top = pathlib.Path(scratch, "a tree")
            files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"],
                                   cwd=CHECKOUT, capture_output=True, text=True).stdout
            for name in files.split("\n"):
                if name and (CHECKOUT / name).is_file():
                    (top / name).parent.mkdir(parents=True, exist_ok=True)
                    shutil.copy2(CHECKOUT / name, top / name)
            patch = CHECKOUT / "mistakes/01-shallow-copy-constructor.patch"
            subprocess.run(["patch", "-s", "-p1", "-i", str(patch)], cwd=top, check=True)
            findings = draw(top, "ledgerdemo")["findings"]
        kinds = [f["kind"] for f in findings]
        self.assertEqual(kinds[0], "shared block", findings)
        self.assertIn("BankAccountD(BankAccountD const&)", findings[0]["function"],
                      "the finding must name the copy constructor")
        self.assertTrue({"double free", "use after free"} & set(kinds[1:]), findings)

    def test_blocks_a_global_still_points_to_at_the_end_are_not_leaks(self):
        # The teller's accounts are never released, on purpose: a global
        # array points to them until the program ends.
        findings = draw(CHECKOUT, "tellerdemo")["findings"]
        self.assertEqual([f["kind"] for f in findings], ["kept to the end"] * 3,
                         findings)
        self.assertIn("`accounts` still points to it", findings[0]["says"])

    def test_the_page_steps_and_draws_arrows_in_a_browser(self):
        with tempfile.TemporaryDirectory() as profile:
            dom = subprocess.run(
                ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--no-first-run", f"--user-data-dir={profile}",
                 "--dump-dom", (CHECKOUT / "build/pictures/ledgerdemo.html").as_uri()
                 + "#step=28"], capture_output=True, text=True, timeout=60).stdout
        self.assertIn('<b id="number">28</b>', dom, "the page did not step to step 28")
        picture = re.search(r'<div id="picture">(.*?)</div>', dom, re.S).group(1)
        self.assertGreaterEqual(picture.count('class="edge"'), 2,
                                "the drawing has no arrows from the accounts to their names")


if __name__ == "__main__":
    unittest.main(verbosity=1)
