"""The contract every door shares: the values a caller may pass and their
ranges (`values`), and the shapes the memory returns (`results`)."""
