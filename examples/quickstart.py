"""A conversation memory in a few lines.

Two made-up conversations are stored with toy embeddings (each word maps to a
fixed pseudo-random direction, a message is the normalised sum of its words),
marked with session and document boundaries, and then searched. The module
keeps only vectors and ids; the texts stay here, in a dict keyed by id.
"""

import hashlib
import math
import os
import tempfile

import orlo_kiv

DIM = 64
STOPWORDS = {
    "a",
    "and",
    "at",
    "does",
    "every",
    "for",
    "how",
    "in",
    "is",
    "need",
    "on",
    "one",
    "the",
    "to",
    "we",
    "what",
    "when",
    "where",
}


def word_vector(word: str) -> list[float]:
    digest = hashlib.sha256(word.encode()).digest() * 2
    return [(byte - 127.5) / 127.5 for byte in digest[:DIM]]


def embed(text: str) -> list[float]:
    total = [0.0] * DIM
    for word in text.lower().split():
        word = word.strip(".,?!").removesuffix("s")
        if word in STOPWORDS:
            continue
        for i, value in enumerate(word_vector(word)):
            total[i] += value
    norm = math.sqrt(sum(v * v for v in total)) or 1.0
    return [v / norm for v in total]


CONVERSATIONS = [
    [  # a conversation about a trip, with two topics
        [
            "We fly to Lisbon on Friday morning",
            "The flight leaves Lisbon airport at nine",
            "Pack light, the flight allows one bag",
        ],
        [
            "Book a table for dinner in Lisbon",
            "The dinner place serves grilled fish",
            "Fish and wine for dinner on Saturday",
        ],
    ],
    [  # a later conversation about a garden
        [
            "The tomatoes in the garden need water",
            "Water the garden tomatoes every evening",
            "The garden soil is dry in summer",
        ],
    ],
]

index = orlo_kiv.KivIndex.with_config(DIM, orlo_kiv.KivConfig().with_beam_width(4))
texts: dict[str, str] = {}
for conversation in CONVERSATIONS:
    index.new_session()
    for topic in conversation:
        index.new_document()
        for message in topic:
            texts[index.add(embed(message))] = message

print(index, index.stats(), sep="\n")

for question in ["when does the flight leave", "what is for dinner", "when to water tomatoes"]:
    print(f"\n{question!r}")
    for hit in index.near(embed(question), 2):
        print(f"  {hit.score:.3f}  {texts[hit.id]}")

# Coarse to fine: the closest conversation, its closest topic, the best message there.
query = embed("grilled fish dinner")
session = index.near_sessions(query, 1)[0]
document = index.near_documents(session.id, query, 1)[0]
best = index.near_in_document(document.id, query, 1)[0]
print(f"\ncoarse to fine: {session}\n  {document}\n  {texts[best.id]!r} {best.score:.3f}")

index.consolidate_full()
with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "memory.kiv")
    index.save(path)
    loaded = orlo_kiv.KivIndex.load(path)
print(f"\nafter consolidation, saved and loaded: {loaded}")
print(f"  {[texts[hit.id] for hit in loaded.near(embed('garden water'), 1)]}")
