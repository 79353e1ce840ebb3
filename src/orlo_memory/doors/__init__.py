"""The ways into the memory besides the Python API: the command line, JSON
Lines import and export, the LangChain store, the HTTP and MCP servers."""
