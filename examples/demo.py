"""A short demonstration of corvane: one LCS pass, one similarity per requested prefix length."""

import corvane

if not hasattr(corvane, "compute_lcs_similarity"):
    print("corvane", corvane.__file__, "imports; the function is not built yet")
    raise SystemExit(0)

cases = [
    ("banana", "ananas", [0, 3, 6]),
    ("abc", "abd", [0, 1, 2, 3]),
    ("kitten", "sitting", [1, 4, 7]),
    ("日本", "日本語", [1, 2, 3]),
]
for source, target, lengths in cases:
    values = corvane.compute_lcs_similarity(source, target, lengths)
    shown = ", ".join(f"{n}: {v:.4f}" for n, v in zip(lengths, values))
    print(f"{source!r} vs prefixes of {target!r} -> {shown}")
