"""Shared helpers of the orlo_memory tests (kept out of conftest.py, whose
module name the other test directory already uses)."""

import hashlib

import numpy as np

DIM = 16


def vector_for(key: str, dim: int = DIM) -> np.ndarray:
    """A fixed pseudo-random unit vector for `key` (any process computes the same)."""
    seed = int.from_bytes(hashlib.sha256(key.encode()).digest()[:8], "little")
    v = np.random.default_rng(seed).standard_normal(dim).astype(np.float32)
    return v / np.linalg.norm(v)


def vectors(n: int, dim: int = DIM, seed: int = 0) -> np.ndarray:
    v = np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)
    return v / np.linalg.norm(v, axis=1, keepdims=True)
