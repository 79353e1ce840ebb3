"""The memory itself: `Memory` and `UserMemory` (the API), the per-user log
protocol, the loaded indexes and the ranking of search results."""
