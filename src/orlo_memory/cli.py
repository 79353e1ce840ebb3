"""The `orlo-memory` command line (entry point; the commands come next)."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence


def build_parser() -> argparse.ArgumentParser:
    return argparse.ArgumentParser(
        prog="orlo-memory",
        description="A conversation memory on SQLite, built on the orlo_kiv index.",
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    parser.parse_args(argv)
    parser.print_help(sys.stderr)
    return 2
