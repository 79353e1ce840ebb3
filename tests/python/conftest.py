import os
import subprocess
import sys
import textwrap

import pytest

import orlo_kiv


@pytest.fixture
def index4():
    return orlo_kiv.KivIndex.cosine(4)


def running_under_asan():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, **kwargs):
    """Runs `code` in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )
