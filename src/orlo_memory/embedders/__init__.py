"""Embedders: texts in, one float32 row per text out.

- `OnnxEmbedder` (extra `embed`): the packaged all-MiniLM-L6-v2, or a local
  sentence-transformers directory, on ONNX Runtime with the model's own
  tokenizer; no torch.
- `SentenceTransformerEmbedder` (extra `embed-torch`): any local
  sentence-transformers directory on torch.
- `OpenAIEmbedder`: a server that speaks the OpenAI `/v1/embeddings`
  protocol (Ollama, vLLM, text-embeddings-inference, infinity, LM Studio,
  OpenAI), through the standard library.
- `CallableEmbedder`: any function.

`open_embedder` picks one from what a command line or a server was told.
"""

from .base import (
    MAX_SQUARED_NORM,
    CallableEmbedder,
    Embedder,
    EmbeddingServerError,
    FloatMatrix,
    MissingExtraError,
    Prompts,
    QueryEmbedder,
    UnsupportedModelError,
    as_matrix,
    as_vector,
    embed_queries,
    prompts_of,
)
from .onnx_model import OnnxEmbedder
from .openai_server import OpenAIEmbedder
from .opening import open_embedder
from .torch_model import SentenceTransformerEmbedder

__all__ = [
    "MAX_SQUARED_NORM",
    "CallableEmbedder",
    "Embedder",
    "EmbeddingServerError",
    "FloatMatrix",
    "MissingExtraError",
    "OnnxEmbedder",
    "OpenAIEmbedder",
    "Prompts",
    "QueryEmbedder",
    "SentenceTransformerEmbedder",
    "UnsupportedModelError",
    "as_matrix",
    "as_vector",
    "embed_queries",
    "open_embedder",
    "prompts_of",
]
