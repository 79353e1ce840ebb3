"""The `orlo-memory` command line: import, search, sessions, stats and export
on a memory, and the servers (`mcp`, `serve`, `token`).

`parser` holds the parser and `main` (exit codes: 0 success, 1 a failure the
message explains in one line, 2 a usage error, 130 interrupted); `importing`
and `data` the commands on a memory's data, `serving` the server commands,
`options` what they share (option types, the library's checks of their values,
the embedding model) and `output` what the data commands print. The model is
loaded only by the commands that embed text: `import` of turns without an
"embedding", `search` by meaning, `sessions` with a query, and the servers.
"""

from .parser import build_parser, main

__all__ = ["build_parser", "main"]
