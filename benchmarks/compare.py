# corvane against rapidfuzz and difflib from Python: timing tables, peak memory and the plot.
"""Run one table per process, so that each table's contenders share one warm interpreter:

    python compare.py full|lengths|short|memory --out DIR
    python compare.py plot --out DIR --png FILE

Each table prints itself and leaves its figures in DIR as JSON for the plot.
"""

import argparse
import difflib
import json
import math
import random
import resource
import string
import subprocess
import sys
import time
from pathlib import Path

import corvane
from rapidfuzz.distance import LCSseq

CJK = "".join(chr(0x4E00 + k) for k in range(3000))
ALPHABETS = {"letters": string.ascii_lowercase, "cjk": CJK}
DIFFLIB_LIMIT = 20.0  # seconds a difflib call may be expected to take before it is skipped


def text(alphabet, size, rng):
    return "".join(rng.choices(ALPHABETS[alphabet], k=size))


def best_seconds(call, budget=1.0, repeat=5):
    """Seconds per call: the best of `repeat` batches sized to fill `budget` between them; a call
    slower than `budget` is timed once."""
    start = time.perf_counter()
    call()
    first = time.perf_counter() - start
    if first >= budget:
        return first
    loops = max(1, int(budget / repeat / max(first, 1e-9)))
    best = first
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(loops):
            call()
        best = min(best, (time.perf_counter() - start) / loops)
    return best


def human(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds * 1e9:.0f} ns"


def row(*cells, widths=(10, 8, 12, 12, 12, 10)):
    print("  ".join(str(c).rjust(w) for c, w in zip(cells, widths)))


def check_same_lcs(source, target, similarity):
    """corvane's value for the whole target must be rapidfuzz's LCS in the same formula (for text
    whose code points are bytes)."""
    lcs = LCSseq.similarity(source, target)
    expected = 2 * lcs / (len(source.encode()) + len(target))
    assert math.isclose(similarity, expected, rel_tol=0, abs_tol=1e-15), (similarity, expected)


def full(out):
    print("One full-length request: source and target of N code points each")
    row("alphabet", "N", "corvane", "rapidfuzz", "difflib", "rf/corvane")
    rng = random.Random(11)
    results = []
    for alphabet in ALPHABETS:
        difflib_estimate = 0.0
        previous = None
        for size in (64, 1000, 10000, 100000):
            source, target = text(alphabet, size, rng), text(alphabet, size, rng)
            lengths = [size]
            similarity = corvane.compute_lcs_similarity(source, target, lengths)[0]
            if alphabet == "letters":
                check_same_lcs(source, target, similarity)
            ours = best_seconds(lambda: corvane.compute_lcs_similarity(source, target, lengths))
            theirs = best_seconds(lambda: LCSseq.similarity(source, target))
            if previous is not None:
                difflib_estimate = previous[1] * (size / previous[0]) ** 2
            sequence = None
            if difflib_estimate <= DIFFLIB_LIMIT:
                matcher = lambda: difflib.SequenceMatcher(None, source, target, autojunk=False).ratio()
                sequence = best_seconds(matcher, budget=2.0, repeat=3)
                previous = (size, sequence)
            row(alphabet, size, human(ours), human(theirs),
                human(sequence) if sequence is not None else f"(~{difflib_estimate:.0f} s)",
                f"{theirs / ours:.2f}x")
            results.append({"alphabet": alphabet, "size": size, "corvane": ours,
                            "rapidfuzz": theirs, "difflib": sequence})
    (out / "full.json").write_text(json.dumps(results, indent=1))


def lengths_table(out):
    print("16 lengths spread over target: one corvane call against 16 rapidfuzz calls on the prefixes")
    row("alphabet", "N", "corvane", "16 x rf", "ratio", widths=(10, 8, 12, 12, 10))
    rng = random.Random(12)
    results = []
    for alphabet in ALPHABETS:
        for size in (1000, 10000, 100000):
            source, target = text(alphabet, size, rng), text(alphabet, size, rng)
            lengths = [size * (k + 1) // 16 for k in range(16)]
            # The prefixes are cut beforehand: their slicing is not charged to rapidfuzz.
            prefixes = [target[:length] for length in lengths]
            ours = best_seconds(lambda: corvane.compute_lcs_similarity(source, target, lengths))
            theirs = best_seconds(lambda: [LCSseq.similarity(source, p) for p in prefixes])
            row(alphabet, size, human(ours), human(theirs), f"{theirs / ours:.1f}x",
                widths=(10, 8, 12, 12, 10))
            results.append({"alphabet": alphabet, "size": size, "corvane": ours, "rapidfuzz": theirs})
    (out / "lengths.json").write_text(json.dumps(results, indent=1))


def short(out):
    print("Short calls: 10-20 letters each, calls per second over 1,000 different pairs")
    row("lengths", "corvane", "rapidfuzz", "rf/corvane", widths=(22, 14, 14, 12))
    rng = random.Random(13)
    pairs = []
    for _ in range(1000):
        source = text("letters", rng.randint(10, 20), rng)
        target = text("letters", rng.randint(10, 20), rng)
        pairs.append((source, target))
    results = []
    for count in (1, 3):
        cases = []
        for source, target in pairs:
            lengths = sorted(rng.sample(range(1, len(target) + 1), count - 1)) + [len(target)]
            cases.append((source, target, lengths, [target[:length] for length in lengths]))
        similarity = corvane.compute_lcs_similarity
        lcs = LCSseq.similarity

        def ours():
            for source, target, lengths, _ in cases:
                similarity(source, target, lengths)

        def theirs():
            for source, _, _, prefixes in cases:
                for prefix in prefixes:
                    lcs(source, prefix)

        per_ours = best_seconds(ours, budget=2.0, repeat=7) / len(cases)
        per_theirs = best_seconds(theirs, budget=2.0, repeat=7) / len(cases)
        label = "1 (1 rf call)" if count == 1 else f"{count} ({count} rf calls)"
        row(label, f"{1 / per_ours:,.0f}/s", f"{1 / per_theirs:,.0f}/s",
            f"{per_theirs / per_ours:.2f}x", widths=(22, 14, 14, 12))
        results.append({"lengths": count, "corvane": per_ours, "rapidfuzz": per_theirs})
    (out / "short.json").write_text(json.dumps(results, indent=1))


def maxrss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(contender):
    """Runs in a fresh interpreter: prints the peak resident sizes around one call."""
    baseline = maxrss_bytes()
    rng = random.Random(14)
    letters = string.ascii_lowercase.encode()
    table = bytes(letters[b % 26] for b in range(256))
    # A random block repeated: building the target never holds much more than the target itself.
    block = rng.randbytes(1_000_000).translate(table).decode("ascii")
    target = block * 10
    del block
    source = text("letters", 1000, rng)
    peak_building = maxrss_bytes()
    # Linux lets a process reset its peak to what is resident now, so that the call's own peak
    # is not hidden under the building of the strings.
    try:
        Path("/proc/self/clear_refs").write_text("5")
        reset = True
    except OSError:
        reset = False
    before_call = maxrss_bytes()
    start = time.perf_counter()
    if contender == "corvane":
        corvane.compute_lcs_similarity(source, target, [len(target)])
    else:
        LCSseq.similarity(source, target)
    seconds = time.perf_counter() - start
    peak_call = maxrss_bytes()
    print(json.dumps({"baseline": baseline, "peak_building": peak_building, "reset": reset,
                      "before_call": before_call, "peak_call": peak_call,
                      "target_bytes": len(target), "seconds": seconds}))


def memory(out):
    print("Peak memory: 1,000-letter source, 10,000,000-letter target, one full-length request")
    row("contender", "above base", "strings", "the call", "time", widths=(10, 12, 10, 10, 10))
    results = {}
    exact = True
    for contender in ("corvane", "rapidfuzz"):
        child = subprocess.run([sys.executable, __file__, "memory-child", contender],
                               check=True, capture_output=True, text=True)
        figures = json.loads(child.stdout)
        mb = lambda value: f"{value / 1e6:.1f} MB"
        peak = max(figures["peak_building"], figures["peak_call"])
        row(contender, mb(peak - figures["baseline"]),
            mb(figures["before_call"] - figures["baseline"]),
            mb(figures["peak_call"] - figures["before_call"]), human(figures["seconds"]),
            widths=(10, 12, 10, 10, 10))
        results[contender] = figures
        exact = exact and figures["reset"]
    print("above base: peak resident size above the interpreter with both modules imported;")
    print("strings: what the two strings keep resident; the call: its peak above that"
          + ("" if exact else " (a lower bound: the peak could not be reset before the call)"))
    rows_bytes = 2 * 8 * (10_000_000 + 1)
    print(f"(the two-row reference kernel would allocate {rows_bytes / 1e6:.0f} MB of rows)")
    (out / "memory.json").write_text(json.dumps(results, indent=1))


def plot(out, png):
    import csv

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    native = [r for r in csv.DictReader((out / "native.csv").open()) if r["alphabet"] == "letters"]
    python = [r for r in json.loads((out / "full.json").read_text()) if r["alphabet"] == "letters"]
    figure, axes = plt.subplots(figsize=(7, 4.5))
    series = [
        ("reference kernel (native)", [(int(r["size"]), float(r["reference_seconds"])) for r in native], "o--"),
        ("fast kernel (native)", [(int(r["size"]), float(r["fast_seconds"])) for r in native], "o-"),
        ("corvane from Python", [(r["size"], r["corvane"]) for r in python], "s-"),
        ("rapidfuzz LCSseq", [(r["size"], r["rapidfuzz"]) for r in python], "^-"),
        ("difflib SequenceMatcher", [(r["size"], r["difflib"]) for r in python if r["difflib"]], "v:"),
    ]
    for label, points, style in series:
        axes.plot([p[0] for p in points], [p[1] for p in points], style, label=label)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("code points in source and in target (random letters)")
    axes.set_ylabel("seconds per full-length request")
    axes.grid(True, which="major", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(png, dpi=110)
    print(f"plot written to {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("table", choices=["full", "lengths", "short", "memory", "memory-child", "plot"])
    parser.add_argument("contender", nargs="?")
    parser.add_argument("--out", type=Path, default=Path("."))
    parser.add_argument("--png", type=Path)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    if args.table == "memory-child":
        memory_child(args.contender)
    elif args.table == "plot":
        plot(args.out, args.png)
    else:
        {"full": full, "lengths": lengths_table, "short": short, "memory": memory}[args.table](args.out)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
