"""Every code block of the README runs, so that none can go stale.

Blocks run in one temporary folder (holding a link to examples/), as a
reader pasting them would: first the Python blocks, in order, in one
interpreter (each in a fresh namespace; they build the chat.db the others
use), then the others in order:
- a shell block (```sh, or untagged) runs line by line: `orlo-memory`
  commands run against the folder's memory, except the servers (`serve`,
  `mcp`) and `token revoke` of an example id, whose arguments the command
  line's parser checks; `curl` runs against a real `orlo-memory serve` of
  chat.db on a free loopback port; `make TARGET` must name a target of the
  Makefile, and `.venv/bin/python SCRIPT` a script that compiles (both
  build or load more than a test should);
- a ```json block parses, and each of its `mcpServers` starts `orlo-memory`
  with arguments its parser takes;
- a ```text block is not code (a directory listing).
A block after `<!-- not run: REASON -->` is left out, for that reason.
"""

import json
import os
import py_compile
import re
import shlex
import subprocess
import sys

import pytest
from server_helpers import ROOT, needs_model, serve

from orlo_memory.doors.cli import build_parser

pytestmark = pytest.mark.slow

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
NOT_RUN = re.compile(r"<!-- not run: (.+?) -->\s*$")
# Commands whose run the test leaves to their own tests: only parsed.
PARSED_ONLY = (["serve"], ["mcp"], ["token", "revoke"])

# Runs each block it reads (JSON lines: {"line", "code"}), in the current
# folder, each in a fresh namespace; answers one JSON line per block.
RUNNER = """
import contextlib, io, json, sys, traceback
for request in sys.stdin:
    block = json.loads(request)
    output = io.StringIO()
    try:
        with contextlib.redirect_stdout(output):
            code = compile(block["code"], f"README.md:{block['line']}", "exec")
            exec(code, {"__name__": "__main__"})
        error = None
    except BaseException:
        error = traceback.format_exc()
    print(json.dumps({"line": block["line"], "error": error}), flush=True)
"""


def blocks():
    """(line, language, code) of each block to run, in order; the blocks
    marked not to run, with their reasons."""
    text = README.read_text(encoding="utf-8")
    found, left_out = [], []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        before = text[: match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        reason = NOT_RUN.search(before)
        if reason:
            left_out.append((line, reason.group(1)))
        else:
            found.append((line, match.group(1) or "sh", match.group(2)))
    return found, left_out


def commands(code):
    """The shell lines of a block, continuations joined, comments dropped."""
    joined = code.replace("\\\n", " ")
    return [shlex.split(line, comments=True) for line in joined.splitlines() if line.strip()]


def run_python(blocks, folder):
    process = subprocess.run(
        [sys.executable, "-c", RUNNER],
        input="".join(json.dumps({"line": line, "code": code}) + "\n" for line, code in blocks),
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=600,
    )
    answers = [json.loads(line) for line in process.stdout.splitlines()]
    assert len(answers) == len(blocks), process.stderr
    failed = [f"README.md:{a['line']}:\n{a['error']}" for a in answers if a["error"]]
    assert not failed, "\n".join(failed)


def check_cli(argv, where, folder):
    if any(argv[: len(words)] == words for words in PARSED_ONLY):
        args = build_parser().parse_args(argv)  # exits (a failed test) when it would not parse
        assert args.command == argv[0], where
        return
    done = subprocess.run(
        [sys.executable, "-m", "orlo_memory", *argv],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"{where}: orlo-memory {shlex.join(argv)}: {done.stderr}"


def check_curl(argv, where, folder):
    with serve(str(folder / "chat.db")) as base:
        argv = [re.sub(r"^http://127\.0\.0\.1:\d+", base, word) for word in argv]
        done = subprocess.run(
            [*argv, "-w", "\n%{http_code}"], capture_output=True, text=True, timeout=120
        )
    body, _, status = done.stdout.rpartition("\n")
    assert done.returncode == 0 and status.startswith("2"), f"{where}: {status} {body}"
    json.loads(body)


def check_shell(code, where, folder):
    for argv in commands(code):
        program = argv[0]
        if program == "orlo-memory":
            check_cli(argv[1:], where, folder)
        elif program == "curl":
            check_curl(argv, where, folder)
        elif program == "make":
            makefile = (ROOT / "Makefile").read_text()
            for target in argv[1:]:
                assert re.search(rf"^{re.escape(target)}:", makefile, re.MULTILINE), where
        elif program.endswith("/python"):
            py_compile.compile(str(ROOT / argv[1]), doraise=True)
        else:
            pytest.fail(f"{where}: no rule to check a {program!r} command")


def check_json(code, where):
    config = json.loads(code)
    for server in config.get("mcpServers", {}).values():
        assert server["command"] == "orlo-memory", where
        assert build_parser().parse_args(server["args"]).command == "mcp", where


def test_every_readme_block_runs(tmp_path):
    needs_model()
    found, left_out = blocks()
    assert len(left_out) <= 2 and all(reason.strip() for _, reason in left_out), left_out
    os.symlink(ROOT / "examples", tmp_path / "examples")
    python = [(line, code) for line, language, code in found if language == "python"]
    run_python(python, tmp_path)
    for line, language, code in found:
        where = f"README.md:{line}"
        if language == "sh":
            check_shell(code, where, tmp_path)
        elif language == "json":
            check_json(code, where)
        else:
            assert language in ("python", "text"), f"{where}: a block in {language!r}"
