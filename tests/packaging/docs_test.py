#!/usr/bin/env python3
"""The manual pages and quillon's bash completion against the programs.

usage: docs_test.py SOURCE_DIR QUILLON ENCODER_SIM VELMORA|"" [unittest args]

Each page must name every option the program's --help shows and no option
it does not; the completion must offer every option of every subcommand.
"""
import os
import re
import subprocess
import sys
import unittest

SOURCE = QUILLON = ENCODER_SIM = VELMORA = ""
SUBCOMMANDS = ["ports", "test", "status", "reset", "erase", "coercivity",
               "density", "read", "write", "queue", "queue init", "queue load",
               "queue status", "queue settle", "queue grant", "queue purge",
               "queue pause", "queue resume", "queue cancel", "queue list",
               "queue show", "queue export"]


def help_text(*command):
    result = subprocess.run(command, capture_output=True, text=True,
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                            timeout=20)
    assert result.returncode == 0, result.stderr
    return result.stdout


def help_options(text):
    """Long options at the start of --help's option lines."""
    return set(re.findall(r"^\s+(?:-\w, ?|-\w,)?(--[a-z][a-z0-9-]*)", text,
                          re.MULTILINE))


def quillon_options(subcommand=None):
    args = [QUILLON] + (subcommand.split() if subcommand else []) + ["--help"]
    return help_options(help_text(*args))


def page(name):
    with open(os.path.join(SOURCE, "docs", "man", name + ".scd")) as f:
        return f.read()


def page_options(text):
    return set(re.findall(r"\*(--[a-z][a-z0-9-]*)\*", text))


class ManPages(unittest.TestCase):
    def test_each_page_names_exactly_the_options_of_its_program(self):
        quillon = set().union(quillon_options(),
                              *(quillon_options(s) for s in SUBCOMMANDS))
        rows = [("quillon.1", quillon),
                ("quillon-encoder-sim.1", help_options(help_text(ENCODER_SIM,
                                                         "--help")))]
        if VELMORA:
            rows.append(("velmora.1", help_options(help_text(VELMORA,
                                                             "--help"))))
        for name, options in rows:
            with self.subTest(page=name):
                self.assertTrue(options)
                self.assertEqual(page_options(page(name)), options)
        for subcommand in SUBCOMMANDS:
            self.assertIn("*%s*" % subcommand, page("quillon.1"))

    def test_the_library_page_names_exactly_the_exported_functions(self):
        with open(os.path.join(SOURCE, "library", "quillon.map")) as f:
            exported = set(re.findall(r"^\s+((?:g|quillon_)\w+);", f.read(),
                                      re.MULTILINE))
        self.assertEqual(len(exported), 25)
        # Each is the head of an entry: "*name*(" or one of a list of them.
        heads = "\n".join(re.findall(r"^\*.*$", page("quillon.3"),
                                     re.MULTILINE))
        described = set(re.findall(r"\*((?:g|quillon_)\w+)\*(?:\(|,|$)",
                                   heads, re.MULTILINE))
        self.assertEqual(described, exported)

    def test_the_page_and_the_readme_show_the_example_as_it_is(self):
        with open(os.path.join(SOURCE, "docs", "examples",
                               "two_encoders.c")) as f:
            example = f.read()
        shown = page("quillon.3").replace("\\\\", "\\")
        self.assertIn("```\n" + example + "```", shown)
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        head = "".join(example.splitlines(keepends=True)[:10])
        self.assertIn("```c\n" + head + "```", readme)

    def test_every_page_has_the_sections_a_reader_looks_for(self):
        for name in ("quillon.1", "quillon.3", "quillon-encoder-sim.1", "velmora.1"):
            # A program ends with an exit status; a library's functions
            # return values.
            outcome = "RETURN VALUE" if name.endswith(".3") else "EXIT STATUS"
            for section in ("NAME", "SYNOPSIS", outcome, "ENVIRONMENT",
                            "FILES", "EXAMPLES", "SEE ALSO"):
                with self.subTest(page=name, section=section):
                    self.assertIn("\n# %s\n" % section, page(name))


BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"


class Completion(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Without it every row would fail for one reason: say it once.
        if not os.path.exists(BASH_COMPLETION):
            raise RuntimeError(
                "%s is missing: the completion needs the bash-completion "
                "package (scripts/install-deps.sh --test installs it)"
                % BASH_COMPLETION)

    def complete(self, *words, env=None):
        """What `quillon WORDS<TAB>` offers (the last word is the one
        being completed)."""
        script = (
            'source "$1"; shift\n'
            'source "$1"; shift\n'
            'COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))\n'
            'COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}\n'
            '_quillon; printf "%s\\n" "${COMPREPLY[@]}"\n')
        completion = os.path.join(SOURCE, "data", "completion", "quillon")
        result = subprocess.run(
            ["bash", "-c", script, "bash", BASH_COMPLETION, completion,
             "quillon", *words],
            capture_output=True, text=True, timeout=20,
            env=dict(os.environ, **(env or {})))
        self.assertEqual(result.returncode, 0, result.stderr)
        return set(result.stdout.split())

    def test_it_offers_words_that_fit_where_the_cursor_is(self):
        folder = os.path.dirname(os.path.abspath(__file__))
        # (words, environment, offered, not offered)
        rows = [
            ([""], {}, {s for s in SUBCOMMANDS if " " not in s}, set()),
            (["queue", ""], {}, {"init", "load", "status", "settle"},
             {"write"}),
            (["queue", "status", "--format", ""], {}, {"text", "json"},
             {"csv"}),
            (["queue", "export", "--format", ""], {}, {"csv", "json"},
             {"text"}),
            (["queue", "grant", ""], {}, {"loader", "station", "watcher"},
             set()),
            (["queue", "settle", "--card", "3", ""], {},
             {"written", "unwritten"}, set()),
            (["--"], {}, {"--port", "--version"}, {"--count"}),
            (["read", "--tracks", ""], {}, {"1,2,3", "1,2", "2"}, {"1,3"}),
            (["erase", "--tracks", ""], {}, {"1,3"}, set()),
            (["read", "--format", ""], {}, {"text", "json", "csv"}, set()),
            (["--reply-end", ""], {}, {"complete", "pause"}, set()),
            (["coercivity", ""], {}, {"high", "low"}, set()),
            (["--port", "/dev/null", "density", ""], {}, {"75", "210"},
             set()),
            (["--port", ""], {"ENCODER_COM7": "/dev/null"}, {"COM1", "COM7"},
             set()),
            (["--port", folder + "/docs_t"], {}, {folder + "/docs_test.py"},
             set()),
            (["write", "--from", folder + "/"], {}, set(),
             {folder + "/docs_test.py"}),
        ]
        for words, env, offered, not_offered in rows:
            with self.subTest(words=words):
                got = self.complete(*words, env=env)
                self.assertLessEqual(offered, got)
                self.assertFalse(not_offered & got, got)

    def test_every_option_of_every_subcommand_is_offered(self):
        for subcommand in SUBCOMMANDS:
            with self.subTest(subcommand=subcommand):
                self.assertLessEqual(quillon_options(subcommand),
                                     self.complete(*subcommand.split(), "--"))


if __name__ == "__main__":
    SOURCE, QUILLON, ENCODER_SIM, VELMORA = sys.argv[1:5]
    unittest.main(argv=[sys.argv[0], *sys.argv[5:]], verbosity=2)
