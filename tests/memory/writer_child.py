"""A writer killed at random moments by test_durability: it announces every
id before the call that stores it ("P id"), then acknowledges it ("A id");
forgets are acknowledged as "F id". Lines are flushed before it goes on. It
says "R" once it has started, so that the kill lands in its work whatever the
interpreter's start-up costs on a busy machine."""

import random
import sys

from memory_helpers import DIM, vector_for

from orlo_memory import Memory, NewTurn

path, seed = sys.argv[1], int(sys.argv[2])
rng = random.Random(seed)
out = sys.stdout
memory = Memory.open(path, dimension=DIM, checkpoint_every=rng.choice([7, 40, 150]))
user = memory.user("writer")
acknowledged = [line.split()[1] for line in sys.stdin.read().splitlines()]
out.write("R\n")
out.flush()


def new_turn(number: int) -> NewTurn:
    turn_id = f"{rng.getrandbits(128):032x}"
    return NewTurn(
        f"turn {turn_id} of round {seed}",
        id=turn_id,
        embedding=vector_for(turn_id),
        new_topic=number % 9 == 0,
        new_session=number % 97 == 0,
        session_title=f"round {seed}",
    )


def announce(tag: str, ids: list[str]) -> None:
    out.write("".join(f"{tag} {i}\n" for i in ids))
    out.flush()


while True:
    action = rng.random()
    if action < 0.55:
        turns = [new_turn(rng.randrange(1000)) for _ in range(rng.randint(1, 300))]
        announce("P", [t.id for t in turns])
        user.add_many(turns)
        announce("A", [t.id for t in turns])
        acknowledged.extend(t.id for t in turns)
    elif action < 0.75:
        turn = new_turn(rng.randrange(1000))
        announce("P", [turn.id])
        user.add(turn.text, id=turn.id, embedding=turn.embedding, new_topic=turn.new_topic)
        announce("A", [turn.id])
        acknowledged.append(turn.id)
    elif action < 0.85 and acknowledged:
        victim = acknowledged.pop(rng.randrange(len(acknowledged)))
        announce("Q", [victim])
        user.forget(victim)
        announce("F", [victim])
    elif action < 0.92:
        user.checkpoint()
    elif action < 0.96:
        user.new_session(f"explicit {seed}")
    else:
        user.consolidate(full=rng.random() < 0.5)
