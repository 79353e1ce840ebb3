"""The memory's servers: an MCP server for assistants and an HTTP JSON API.

Both are thin layers over `Memory` and `UserMemory` (extra `[server]`). This
package's own import is light: the web and MCP libraries are imported only by
the modules that serve (`http_api`, `mcp_server`), which the command line
loads only for `orlo-memory serve` and `orlo-memory mcp`.
"""
