"""The stores: the seam every backend plays (`Store`), the records that travel
through it, and `open_store`, which picks the backend. A store knows nothing
of the memory above it: it imports only the errors and the contract.
"""

from .opening import is_url, open_store
from .protocol import Store

__all__ = ["Store", "is_url", "open_store"]
