"""Build a small conversation memory and look at what it holds."""
import orlo_kiv

index = orlo_kiv.KivIndex.cosine(8)
index.add([1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0])
print(index, index.stats())
