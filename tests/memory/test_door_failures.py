"""The failures a first try meets, at every door as clearly as in the command
line: an optional library that is not installed is one line naming its extra
and the command that installs it; a server given a memory file that does not
exist refuses it, names the path it tried and how to create one.

Each case runs in a fresh interpreter in which the library is made
unimportable (None in sys.modules) before the door is reached.
"""

import re
import subprocess
import sys

import pytest

# The door's call, run with `blocked` unimportable; {db} is an existing file.
CLI = "from orlo_memory.doors.cli import main; sys.exit(main({argv}))"
MISSING_EXTRAS = {
    "serve": ("fastapi uvicorn", "server", CLI.format(argv="['serve', {db!r}, '--precomputed']")),
    "mcp": ("mcp", "server", CLI.format(argv="['mcp', {db!r}, '--precomputed']")),
    "PostgreSQL": ("psycopg", "postgres", CLI.format(argv="['stats', 'postgresql://u@/none']")),
    # Both runtimes: the torch path stands in for ONNX Runtime where it is installed.
    "model": (
        "onnxruntime sentence_transformers",
        "embed",
        CLI.format(argv="['search', {db!r}, 'flight']"),
    ),
    "LangChain": ("langchain_core", "langchain", "import orlo_memory.doors.langchain"),
}


def run_without(blocked, code, db):
    hidden = "".join(f"sys.modules[{name!r}] = None\n" for name in blocked.split())
    program = "import sys\n" + hidden + code.format(db=db)
    return subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120
    )


@pytest.mark.parametrize("door", sorted(MISSING_EXTRAS))
def test_a_missing_extra_is_one_line_naming_it_and_its_install(tmp_path, door):
    blocked, extra, code = MISSING_EXTRAS[door]
    db = tmp_path / "memory.db"
    db.touch()
    done = run_without(blocked, code, str(db))
    assert done.returncode == 1, done.stderr
    lines = done.stderr.strip().splitlines()
    if "main(" in code:  # the command line: that one line and nothing else
        assert len(lines) == 1, done.stderr
    line = lines[-1]  # in Python, the ImportError's own line
    install = f"pip install 'orlo_kiv[{extra}]'"
    assert f"the {extra} extra" in line and line.count(install) == 1, line
    assert blocked.split()[0].split("_")[0] in line.replace("-", "_"), line  # names what is missing


@pytest.mark.parametrize("command", [["serve"], ["mcp", "--user", "maya"]], ids=["serve", "mcp"])
def test_servers_refuse_a_memory_file_that_does_not_exist(tmp_path, command):
    done = subprocess.run(
        [sys.executable, "-m", "orlo_memory", command[0], "chat.db", *command[1:], "--precomputed"],
        cwd=tmp_path,  # where an assistant would have started the server
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 1
    [line] = done.stderr.strip().splitlines()
    assert repr(str(tmp_path / "chat.db")) in line
    assert re.search(r"--create\b", line), line
    assert not (tmp_path / "chat.db").exists()
