"""An embedding server that speaks OpenAI's embeddings protocol, over the standard library.

Ollama, vLLM, text-embeddings-inference, infinity, LM Studio and OpenAI
itself answer `POST {base URL}/embeddings` with {"model", "input": [texts]}
by {"data": [{"index", "embedding"}]}. Texts go in batches (halved when the
server says a request is too large); a 429 or 5xx answer, or a timeout, is
retried with exponential backoff (or after the server's Retry-After); every
failure is one line that says what to check.
"""

from __future__ import annotations

import json
import os
import re
import time
import urllib.parse
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ..contract.values import count_argument, real_argument
from ..errors import InvalidInputError
from .base import EmbeddingServerError, FloatMatrix, Prompts, as_matrix, with_prompt

if TYPE_CHECKING:
    import urllib.error

KEY_VARIABLE = "ORLO_MEMORY_EMBED_KEY"
# OpenAI's own variable is read only for OpenAI's own host, so that a key
# meant for it never travels to another server.
OPENAI_KEY_VARIABLE = "OPENAI_API_KEY"
OPENAI_HOST = "api.openai.com"
_RETRIED = frozenset({408, 429, 500, 502, 503, 504})
_MAX_WAIT = 30.0  # seconds: the longest Retry-After honoured
_MESSAGE_LENGTH = 200


def _one_line(text: str) -> str:
    text = re.sub(r"\s+", " ", text).strip()
    return text if len(text) <= _MESSAGE_LENGTH else text[: _MESSAGE_LENGTH - 3] + "..."


def _server_message(body: bytes) -> str:
    """The error text of an answer's body: OpenAI's {"error": {"message"}}, a
    {"detail"} or {"error": "..."}, or the body itself."""
    text = body.decode("utf-8", "replace")
    try:
        value: Any = json.loads(text)
    except ValueError:
        return _one_line(text)
    for key in ("error", "detail", "message"):
        if isinstance(value, dict) and key in value:
            value = value[key]
            if isinstance(value, dict):
                value = value.get("message", value)
    return _one_line(value if isinstance(value, str) else json.dumps(value))


def _default_key(url: str) -> str | None:
    key = os.environ.get(KEY_VARIABLE)
    if key:
        return key
    if urllib.parse.urlsplit(url).hostname == OPENAI_HOST:
        return os.environ.get(OPENAI_KEY_VARIABLE) or None
    return None


class OpenAIEmbedder:
    """Embeds through an OpenAI-compatible server at `url`, the base URL the
    server documents (e.g. http://localhost:11434/v1 for Ollama,
    https://api.openai.com/v1 for OpenAI), with `model` as the server names it.

    The key (sent as a bearer token) is `api_key`, else the environment's
    ORLO_MEMORY_EMBED_KEY, else OPENAI_API_KEY for api.openai.com only.
    `dimension`, when given, is checked against the server's first answer;
    when not, one short text is embedded to learn it. The memory records the
    name "server:" + model (or `name`) and `prompts`, which are put before
    each query and each stored text here, for models that want them."""

    def __init__(
        self,
        url: str,
        model: str,
        *,
        dimension: int | None = None,
        api_key: str | None = None,
        batch_size: int = 32,
        timeout: float = 30.0,
        retries: int = 4,
        prompts: Prompts | None = None,
        name: str | None = None,
    ) -> None:
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.netloc:
            raise InvalidInputError(
                f"the embedding server URL must be http(s)://HOST..., got {url!r}"
            )
        if not isinstance(model, str) or not model:
            raise InvalidInputError("the embedding server needs a model name")
        base = url.rstrip("/")
        self._endpoint = base if base.endswith("/embeddings") else base + "/embeddings"
        # As messages show it: without a user name or password in it.
        self._url = base.replace(parts.netloc, parts.netloc.rpartition("@")[2], 1)
        self._model = model
        self._key = api_key if api_key is not None else _default_key(url)
        self._batch_size = count_argument(batch_size, "batch_size", 1)
        self._timeout = real_argument(timeout, "timeout", 0.0, 3600.0, above_low=True)
        self._retries = count_argument(retries, "retries", 0, 20)
        self._prompts = prompts if prompts is not None else Prompts()
        self._name = name if name is not None else "server:" + model
        self._dimension = None if dimension is None else count_argument(dimension, "dimension", 1)

    @property
    def dimension(self) -> int:
        if self._dimension is None:
            self._dimension = self._post(["dimension"]).shape[1]
        return self._dimension

    @property
    def name(self) -> str:
        return self._name

    @property
    def prompts(self) -> Prompts:
        return self._prompts

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        return self._embed(with_prompt(self._prompts.document, texts))

    def embed_query(self, texts: Sequence[str]) -> FloatMatrix:
        return self._embed(with_prompt(self._prompts.query, texts))

    def _embed(self, texts: list[str]) -> FloatMatrix:
        dimension = self.dimension
        parts: list[FloatMatrix] = []
        start = 0
        while start < len(texts):
            batch = texts[start : start + self._batch_size]
            parts.append(self._post(batch))
            start += len(batch)
        if not parts:
            return np.zeros((0, dimension), dtype=np.float32)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    def _post(self, texts: list[str]) -> FloatMatrix:
        """One batch; a batch the server finds too large is sent in halves."""
        try:
            answer = self._request(texts)
        except _TooLarge as error:
            if len(texts) == 1:
                raise EmbeddingServerError(
                    f"the embedding server at {self._url} refused one text as too large: {error}"
                ) from None
            self._batch_size = max(1, len(texts) // 2)
            half = len(texts) // 2
            return np.concatenate([self._post(texts[:half]), self._post(texts[half:])])
        return self._vectors(answer, len(texts))

    def _vectors(self, answer: Any, count: int) -> FloatMatrix:
        try:
            rows = sorted(answer["data"], key=lambda item: int(item["index"]))
            vectors = [row["embedding"] for row in rows]
        except (KeyError, TypeError, ValueError):
            raise EmbeddingServerError(
                f"the embedding server at {self._url} answered without embeddings "
                "(is it an OpenAI-compatible embeddings endpoint?)"
            ) from None
        if len(vectors) != count:
            raise EmbeddingServerError(
                f"the embedding server at {self._url} gave {len(vectors)} embeddings "
                f"for {count} texts"
            )
        lengths = {len(vector) if isinstance(vector, list) else -1 for vector in vectors}
        expected = self._dimension if self._dimension is not None else min(lengths)
        if lengths != {expected} or expected < 1:
            found = ", ".join(str(length) for length in sorted(lengths))
            raise EmbeddingServerError(
                f"the embedding server at {self._url} gives {found}-dimensional vectors "
                f"for model {self._model!r}, expected {expected}: check --embed-model "
                "or the memory's model"
            )
        return as_matrix(vectors, count, expected, "the server's embeddings")

    def _request(self, texts: list[str]) -> Any:
        """The decoded answer, after retries of what may pass on retrying."""
        # Imported here: they load http.client, email and ssl, which most callers never need.
        import urllib.error
        import urllib.request

        body = json.dumps({"model": self._model, "input": texts}).encode()
        headers = {"Content-Type": "application/json", "Accept": "application/json"}
        if self._key:
            headers["Authorization"] = "Bearer " + self._key
        for attempt in range(self._retries + 1):
            request = urllib.request.Request(self._endpoint, body, headers, method="POST")
            try:
                with urllib.request.urlopen(request, timeout=self._timeout) as response:
                    return json.loads(response.read())
            except urllib.error.HTTPError as error:
                wait = self._refusal(error, attempt)
            except (TimeoutError, urllib.error.URLError, OSError) as error:
                wait = self._unreachable(error, attempt)
            except ValueError:
                raise EmbeddingServerError(
                    f"the embedding server at {self._url} answered with something other than JSON"
                ) from None
            time.sleep(wait)
        raise AssertionError("the last attempt returns or raises")

    def _refusal(self, error: urllib.error.HTTPError, attempt: int) -> float:
        """The wait before retrying an HTTP error; raises the one-line error
        when it is not worth retrying."""
        message = _server_message(error.read())
        code = error.code
        if code in _RETRIED and attempt < self._retries:
            after = error.headers.get("Retry-After", "")
            return min(float(after), _MAX_WAIT) if after.isdigit() else 0.5 * (1 << attempt)
        if code == 413:
            raise _TooLarge(message)
        where = f"the embedding server at {self._url}"
        if code in (401, 403):
            hint = f"set {KEY_VARIABLE}" if not self._key else f"check {KEY_VARIABLE}"
            raise EmbeddingServerError(f"{where} refused the key (HTTP {code}: {message}): {hint}")
        if code in (400, 404, 422) and "model" in message.lower():
            raise EmbeddingServerError(
                f"{where} does not serve model {self._model!r} (HTTP {code}: {message})"
            )
        if code in (404, 405):
            raise EmbeddingServerError(
                f"{where} has no embeddings endpoint (HTTP {code} for POST .../embeddings): "
                "give its base URL, which most servers end in /v1"
            )
        retried = f" after {attempt + 1} attempts" if attempt else ""
        raise EmbeddingServerError(f"{where} answered HTTP {code}{retried}: {message}")

    def _unreachable(self, error: Exception, attempt: int) -> float:
        reason = getattr(error, "reason", error)
        timed_out = isinstance(reason, TimeoutError)
        # A timeout may pass; a refused connection or an unknown host will not.
        if timed_out and attempt < self._retries:
            return 0.5 * (1 << attempt)
        what = f"timed out after {self._timeout:g} s" if timed_out else _one_line(str(reason))
        raise EmbeddingServerError(
            f"cannot reach the embedding server at {self._url} ({what}): is it running?"
        ) from None


class _TooLarge(Exception):
    """HTTP 413: the batch must be split."""
