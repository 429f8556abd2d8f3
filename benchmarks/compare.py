# corvane against rapidfuzz from Python: timing tables on synthetic and real text, short calls, the
# call floor, peak memory and the plot.
"""Run one table per process, so that each table's contenders share one warm interpreter:

    python compare.py synthetic|text|short|lengths|memory --out DIR [--isa LEVEL]
    python compare.py floor --out DIR --floor DIR_OF_CALL_FLOOR [--isa LEVEL]
    python compare.py plot --out DIR --png FILE [--other DIR_OF_ANOTHER_LEVEL]

LEVEL names the instruction-set cap the module was built with (CORVANE_MAX_ISA); the tables print
it and record it.

Each table prints its rows as they finish and leaves its figures in DIR as JSON. Every timing is a
full-length request unless said otherwise, and the calls cycle through a pool of different pairs
built beforehand (the slowest rows time one pass over a pool of one or two pairs). A value that differs from rapidfuzz's LCS in the documented formula is reported and makes
the table exit with status 1.
"""

import argparse
import gettext
import json
import random
import string
import subprocess
import sys
import time
from pathlib import Path

import corvane
from rapidfuzz.distance import LCSseq

ACCENTED = "éèêëàâäçñüöóúíáßøåæœšžčěřłąęśźżõã"
EMOJI = "😀😂😍🎉👍🚀🔥🌍🐍💡"
# name -> (code points, weights or None, code points each text holds at least one of)
ALPHABETS = {
    "letters": (string.ascii_lowercase, None, ""),
    "dna": ("ACGT", None, ""),
    "latin": (string.ascii_lowercase + ACCENTED,
              [0.7 / 26] * 26 + [0.3 / len(ACCENTED)] * len(ACCENTED), ACCENTED),
    "cyrillic": ("".join(chr(c) for c in range(0x430, 0x450)) + "ё", None, ""),
    "greek": ("".join(chr(c) for c in range(0x3B1, 0x3CA)), None, ""),
    "cjk": ("".join(chr(0x4E00 + k) for k in range(3000)), None, ""),
    "emoji": (string.ascii_letters + " " + EMOJI, [1.0] * 53 + [0.3] * len(EMOJI), EMOJI),
}
SIZES = (8, 16, 32, 64, 96, 128, 200, 256, 512, 1000, 10000, 100000)
FAILURES = []
LEVEL = "unknown"


def text(alphabet, size, rng):
    points, weights, required = ALPHABETS[alphabet]
    chars = rng.choices(points, weights, k=size)
    if required and size and not any(c in required for c in chars):
        chars[rng.randrange(size)] = rng.choice(required)
    return "".join(chars)


def row(*cells, widths):
    print("  ".join(str(c).rjust(w) for c, w in zip(cells, widths)), flush=True)


def human(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds * 1e9:.0f} ns"


def save(out, table, rows, **more):
    """Leaves a table's rows in DIR/table.json, with the level they ran at."""
    (out / f"{table}.json").write_text(json.dumps({"level": LEVEL, **more, "rows": rows}, indent=1))


def load(folder, table):
    """(level, rows) of a table left by save, or by the older writer of a bare list of rows."""
    data = json.loads((folder / f"{table}.json").read_text())
    if isinstance(data, list):
        return "unknown", data
    return data.get("level", "unknown"), data["rows"]


def check(label, source, target):
    """corvane's value for the whole target must be rapidfuzz's LCS in the documented formula: twice
    the LCS over the UTF-8 bytes of source plus the code points of target."""
    got = corvane.compute_lcs_similarity(source, target, [len(target)])[0]
    expected = (2 * LCSseq.similarity(source, target) / (len(source.encode()) + len(target))
                if target else 1.0)
    if abs(got - expected) > 1e-15:
        FAILURES.append(label)
        print(f"MISMATCH {label}: corvane {got!r}, rapidfuzz's LCS gives {expected!r}", flush=True)


# ---- timing: loops over a pool of (source, target, lengths) items, one call per item ----------

def run_corvane(items, f=corvane.compute_lcs_similarity):
    for a, b, lengths in items:
        f(a, b, lengths)


def run_rapidfuzz(items, g=LCSseq.similarity):
    for a, b, lengths in items:
        g(a, b)


def run_nothing(items):
    for a, b, lengths in items:
        pass


def per_call(loops, items, budget=0.3, batch=5e-4):
    """Seconds per item for each (loop, empty loop) pair: the best of many batches of passes over
    `items`, each batch about `batch` seconds long and together about `budget`, less the best of the
    same batches of its empty loop. Short batches that alternate between the contenders keep a busy
    moment of the machine out of the best ones. A loop whose first pass takes half the budget is
    timed once."""
    def timed(run, passes):
        start = time.perf_counter()
        for _ in range(passes):
            run(items)
        return (time.perf_counter() - start) / (passes * len(items))

    best = [timed(loop, 1) for loop, _ in loops]
    passes, rounds = [], []
    for first in best:
        whole = first * len(items)
        passes.append(max(1, round(batch / whole)))
        rounds.append(0 if whole >= budget / 2 else max(3, round(budget / (passes[-1] * whole))))
    overhead = [0.0 if n == 0 else float("inf") for n in rounds]
    for r in range(max(rounds)):
        for k, (loop, empty) in enumerate(loops):
            if r < rounds[k]:
                best[k] = min(best[k], timed(loop, passes[k]))
                overhead[k] = min(overhead[k], timed(empty, passes[k]))
    return [max(b - o, 1e-10) for b, o in zip(best, overhead)]


def contest(items, budget=0.3):
    return per_call([(run_corvane, run_nothing), (run_rapidfuzz, run_nothing)], items, budget)


# ---- synthetic text ---------------------------------------------------------------------------

def synthetic(out):
    print("Synthetic text: source and target of N code points each, one full-length request,")
    print("a different pair for every call (pool of P pairs, cycled)")
    widths = (9, 7, 5, 11, 11, 11)
    row("alphabet", "N", "P", "corvane", "rapidfuzz", "rf/corvane", widths=widths)
    rng = random.Random(11)
    results = []
    for alphabet in ALPHABETS:
        for size in SIZES:
            pool = max(2, min(1000, 200_000 // size))
            items = []
            for _ in range(pool):
                target = text(alphabet, size, rng)
                items.append((text(alphabet, size, rng), target, [size]))
            for a, b, _ in items[:5 if size <= 1000 else 1]:
                check(f"{alphabet} N={size}", a, b)
            budget = 0.3 if size <= 1000 else 0.6
            ours, theirs = contest(items, budget)
            row(alphabet, size, pool, human(ours), human(theirs), f"{theirs / ours:.2f}x",
                widths=widths)
            results.append({"alphabet": alphabet, "size": size, "pool": pool, "corvane": ours,
                            "rapidfuzz": theirs})
    save(out, "synthetic", results)


# ---- real text: translated message catalogs ---------------------------------------------------

LOCALE = Path("/usr/share/locale")
LANGUAGES = [("English", None), ("French", "fr"), ("German", "de"), ("Spanish", "es"),
             ("Portuguese", "pt_BR"), ("Polish", "pl"), ("Vietnamese", "vi"), ("Russian", "ru"),
             ("Ukrainian", "uk"), ("Greek", "el"), ("Japanese", "ja"), ("Chinese", "zh_CN"),
             ("Korean", "ko"), ("Arabic", "ar"), ("Hebrew", "he")]
PLACE_CATALOGS = ("iso_3166-1.mo", "iso_3166-2.mo")
SENTENCE = (10, 600)
PLACE = (3, 60)
DOCUMENT = 10_000
POOL = 1000


def catalogs(lang, places):
    """The catalogs of one language, largest first: program messages, or the place names."""
    folder = LOCALE / lang / "LC_MESSAGES"
    found = [p for p in folder.glob("*.mo") if p.is_file() and not p.is_symlink()] \
        if folder.is_dir() else []
    found = [p for p in found if (p.name in PLACE_CATALOGS) == places
             and (places or not p.name.startswith("iso_"))]
    return sorted(found, key=lambda p: -p.stat().st_size)


def messages(path, english):
    """The translations in a catalog (or its untranslated English messages), in catalog order."""
    try:
        with path.open("rb") as f:
            catalog = gettext.GNUTranslations(f)._catalog
    except (OSError, UnicodeError, ValueError) as error:
        print(f"  (skipped {path}: {error})")
        return []
    out = []
    for key, value in catalog.items():
        msgid = (key[0] if isinstance(key, tuple) else key).split("\x04")[-1]
        if msgid:
            out.append(msgid if english else value)
    return list(dict.fromkeys(out))


def language_text(lang, places):
    """(messages, description of where they came from). English is read from the message ids of
    the language whose catalogs of that kind are largest."""
    english = lang is None
    if english:
        donors = [code for _, code in LANGUAGES if code]
        lang = max(donors, key=lambda c: sum(p.stat().st_size for p in catalogs(c, places)))
    paths = catalogs(lang, places)
    texts = [m for p in paths for m in messages(p, english)]
    names = ", ".join(p.stem for p in paths[:6]) + (f" and {len(paths) - 6} more" if len(paths) > 6 else "")
    where = f"{'msgids of ' if english else ''}{LOCALE}/{lang}/LC_MESSAGES: {names}" if paths else "none"
    return texts, where


def neighbours(texts, bounds, rng):
    """Pairs of neighbouring messages within the length bounds, at most POOL, in random order."""
    kept = [t for t in texts if bounds[0] <= len(t) <= bounds[1]]
    pairs = [(a, b, [len(b)]) for a, b in zip(kept, kept[1:])]
    rng.shuffle(pairs)
    return pairs[:POOL]


def documents(texts):
    """Pairs of different documents of DOCUMENT code points, cut from the messages run together:
    the first from the first half, the second from the second half."""
    whole = "\n".join(texts)
    half = len(whole) // 2
    count = min(4, half // DOCUMENT)
    return [(whole[k * DOCUMENT:(k + 1) * DOCUMENT], whole[half + k * DOCUMENT:half + (k + 1) * DOCUMENT],
             [DOCUMENT]) for k in range(count)]


def real_text(out):
    print("Real text: translated messages of the gettext catalogs installed in the environment.")
    print("sentences: neighbouring messages of 10-600 code points; documents: two different")
    print(f"{DOCUMENT:,}-code-point stretches of one language's messages run together; places: neighbouring")
    print("place names of 3-60 code points (iso_3166 catalogs). One full-length request per call,")
    print("a different pair for every call.")
    widths = (10, 9, 5, 7, 11, 11, 11)
    rng = random.Random(15)
    results = []
    sources = {}
    for name, lang in LANGUAGES:
        program, where = language_text(lang, places=False)
        place_names, place_where = language_text(lang, places=True)
        sources[name] = {"messages": where, "places": place_where}
        print(f"{name}: {len(program):,} messages from {where}", flush=True)
        if not results:
            row("language", "kind", "pairs", "chars", "corvane", "rapidfuzz", "rf/corvane", widths=widths)
        pages = documents(program)
        if not pages:
            pages = documents(program + place_names)
            print(f"{name}: too few messages for two documents; place names appended", flush=True)
        kinds = [("sentences", neighbours(program, SENTENCE, rng)), ("documents", pages),
                 ("places", neighbours(place_names, PLACE, rng))]
        for kind, items in kinds:
            if len(items) < (1 if kind == "documents" else 20):
                print(f"{name:>10}  {kind:>9}  skipped: too little text ({len(items)} pairs)", flush=True)
                continue
            for a, b, _ in items[:20 if kind != "documents" else 1]:
                check(f"{name} {kind}", a, b)
            chars = sum(len(a) + len(b) for a, b, _ in items) / (2 * len(items))
            ours, theirs = contest(items, budget=0.3)
            row(name, kind, len(items), f"{chars:.0f}", human(ours), human(theirs),
                f"{theirs / ours:.2f}x", widths=widths)
            results.append({"language": name, "kind": kind, "pairs": len(items), "chars": chars,
                            "corvane": ours, "rapidfuzz": theirs})
    save(out, "text", results, sources=sources)


# ---- short calls ------------------------------------------------------------------------------

def short_positional(items, f=corvane.compute_lcs_similarity):
    for a, b, lengths, prefixes in items:
        f(a, b, lengths)


def short_keyword(items, f=corvane.compute_lcs_similarity):
    for a, b, lengths, prefixes in items:
        f(source=a, target=b, length_of_prefixes_of_target=lengths)


def short_nothing(items):
    for a, b, lengths, prefixes in items:
        pass


def short_rapidfuzz(items, g=LCSseq.similarity):
    for a, b, lengths, prefixes in items:
        for prefix in prefixes:
            g(a, prefix)


def short_rapidfuzz_nothing(items):
    for a, b, lengths, prefixes in items:
        for prefix in prefixes:
            pass


def short(out):
    print("Short calls: random letters, 1,000 different pairs; ns per call, less the loop's own cost.")
    print("One length is the whole target (one rapidfuzz call); three lengths end with the whole")
    print("target (three rapidfuzz calls on the prefixes, cut beforehand).")
    widths = (7, 7, 11, 11, 9, 11, 11)
    row("letters", "lengths", "positional", "keyword", "kw-pos", "rapidfuzz", "rf/corvane", widths=widths)
    rng = random.Random(13)
    results = []
    for low, high in ((8, 16), (8, 20)):
        for count in (1, 3):
            items = []
            for _ in range(1000):
                source = text("letters", rng.randint(low, high), rng)
                target = text("letters", rng.randint(low, high), rng)
                lengths = sorted(rng.sample(range(1, len(target)), count - 1)) + [len(target)]
                items.append((source, target, lengths, tuple(target[:n] for n in lengths)))
            positional, keyword, theirs = per_call(
                [(short_positional, short_nothing), (short_keyword, short_nothing),
                 (short_rapidfuzz, short_rapidfuzz_nothing)], items, 0.6)
            ns = lambda seconds: f"{seconds * 1e9:.0f} ns"
            row(f"{low}-{high}", count, ns(positional), ns(keyword),
                f"{(keyword - positional) * 1e9:+.0f} ns", ns(theirs), f"{theirs / positional:.2f}x",
                widths=widths)
            results.append({"letters": [low, high], "lengths": count, "positional": positional,
                            "keyword": keyword, "rapidfuzz": theirs})
    save(out, "short", results)


# ---- the call floor ---------------------------------------------------------------------------

FLOOR_SIZES = (4, 8, 12, 16, 24, 32, 48, 64)


def check_floor(floor):
    """The floor must bind and answer like the module, or its time would be no floor."""
    f = floor.compute_lcs_similarity
    ok = (f("ab", "abc", [3]) == [1.0]
          and f(source="ab", length_of_prefixes_of_target=[0, 3], target="abc") == [1.0, 1.0])
    for bad in (("ab", b"abc", [3]), ("ab", "abc", (3,)), ("ab", "abc", [4])):
        try:
            f(*bad)
            ok = False
        except (TypeError, ValueError):
            pass
    if not ok:
        FAILURES.append("floor")
        print("MISMATCH floor: call_floor does not bind or check its arguments like corvane", flush=True)


def floor_table(out, floor):
    print("The call floor: call_floor.compute_lcs_similarity (benchmarks/call_floor.c) binds and")
    print("checks the same arguments and returns 1.0 per length, comparing nothing. Random letters,")
    print("source and target of N each, 1,000 different pairs, one full-length request per call;")
    print("ns per call less the loop's own cost, the three timed in turn in one process. \"above\"")
    print("is less the floor's time.")
    widths = (4, 8, 9, 9, 10, 10)
    row("N", "floor", "corvane", "above", "rapidfuzz", "rf above", widths=widths)
    check_floor(floor)

    # The same loop as run_corvane's, so that only the function called differs.
    def run_floor(items, f=floor.compute_lcs_similarity):
        for a, b, lengths in items:
            f(a, b, lengths)

    rng = random.Random(16)
    results = []
    for size in FLOOR_SIZES:
        items = []
        for _ in range(1000):
            target = text("letters", size, rng)
            items.append((text("letters", size, rng), target, [size]))
        for a, b, _ in items[:5]:
            check(f"floor N={size}", a, b)
        base, ours, theirs = per_call([(run_floor, run_nothing), (run_corvane, run_nothing),
                                       (run_rapidfuzz, run_nothing)], items, 0.6)
        ns = lambda seconds: f"{seconds * 1e9:.1f}"
        row(size, ns(base), ns(ours), f"{(ours - base) * 1e9:+.1f}", ns(theirs),
            f"{(theirs - base) * 1e9:+.1f}", widths=widths)
        results.append({"size": size, "floor": base, "corvane": ours, "rapidfuzz": theirs,
                        "corvane_above": ours - base, "rapidfuzz_above": theirs - base})
    save(out, "floor", results)


# ---- many lengths -----------------------------------------------------------------------------

def lengths_table(out):
    print("16 lengths spread over target: one corvane call against 16 rapidfuzz calls on the prefixes")
    print("(cut beforehand), a different pair for every call")
    widths = (10, 8, 12, 12, 10)
    row("alphabet", "N", "corvane", "16 x rf", "ratio", widths=widths)
    rng = random.Random(12)
    results = []
    for alphabet in ("letters", "cjk"):
        for size in (1000, 10000, 100000):
            lengths = [size * (k + 1) // 16 for k in range(16)]
            items = []
            # One pair at the largest size: 16 rapidfuzz calls on CJK take tens of seconds.
            for _ in range(max(1, 20_000 // size)):
                target = text(alphabet, size, rng)
                items.append((text(alphabet, size, rng), target, lengths,
                              tuple(target[:n] for n in lengths)))
            ours, theirs = per_call([(short_positional, short_nothing),
                                     (short_rapidfuzz, short_rapidfuzz_nothing)], items, 0.6)
            row(alphabet, size, human(ours), human(theirs), f"{theirs / ours:.1f}x", widths=widths)
            results.append({"alphabet": alphabet, "size": size, "corvane": ours, "rapidfuzz": theirs})
    save(out, "lengths", results)


# ---- memory: one call per fresh interpreter ---------------------------------------------------

def random_ascii(size, rng, first=32, count=95):
    table = bytes(first + b % count for b in range(256))
    return rng.randbytes(size).translate(table).decode("ascii")


def random_cjk(size, rng):
    """Code points U+4E00 to U+59FF, written as UTF-16 without a list of characters."""
    units = bytearray(2 * size)
    units[0::2] = rng.randbytes(size)
    units[1::2] = rng.randbytes(size).translate(bytes(0x4E + b % 12 for b in range(256)))
    return units.decode("utf-16-le")


def letters(size, rng):
    return random_ascii(size, rng, ord("a"), 26)


MEMORY_CASES = {
    "40M printable ASCII source, 1-char target, [0, 1]":
        lambda rng: (random_ascii(40_000_000, rng), random_ascii(1, rng), [0, 1]),
    "10M letters source, 1,000-letter target":
        lambda rng: (letters(10_000_000, rng), letters(1000, rng), [1000]),
    "1,000-letter source, 10M letters target":
        lambda rng: (letters(1000, rng), letters(10_000_000, rng), [10_000_000]),
    "1,000 CJK source, 10M CJK target":
        lambda rng: (random_cjk(1000, rng), random_cjk(10_000_000, rng), [10_000_000]),
}


def status_kb(field):
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise LookupError(field)


def memory_child(case, contender):
    """Runs in a fresh interpreter: prints the resident-size peak of one call above what was
    resident before it, its time, and the sizes of both strings before and after."""
    source, target, lengths = MEMORY_CASES[case](random.Random(14))
    sizes_before = (sys.getsizeof(source), sys.getsizeof(target))
    # Linux lets a process reset its peak to what is resident now, so that the call's own peak is
    # not hidden under the building of the strings.
    try:
        Path("/proc/self/clear_refs").write_text("5")
        reset = True
    except OSError:
        reset = False
    before = status_kb("VmRSS")
    start = time.perf_counter()
    if contender == "corvane":
        corvane.compute_lcs_similarity(source, target, lengths)
    else:
        for n in lengths:
            LCSseq.similarity(source, target[:n])
    seconds = time.perf_counter() - start
    peak = status_kb("VmHWM")
    print(json.dumps({"growth": max(0, peak - before), "reset": reset, "seconds": seconds,
                      "sizes_before": sizes_before,
                      "sizes_after": (sys.getsizeof(source), sys.getsizeof(target))}))


def memory(out):
    print("Peak memory of one call (resident-size high-water mark above what was resident before")
    print("it, in a fresh interpreter per row), its time, and sys.getsizeof of both strings after")
    print("the call compared with before it. rapidfuzz gets one call per requested length.")
    widths = (50, 10, 10, 10, 12, 12)
    row("case", "contender", "peak", "time", "source size", "target size", widths=widths)
    results = []
    exact = True
    for case in MEMORY_CASES:
        for contender in ("corvane", "rapidfuzz"):
            child = subprocess.run([sys.executable, __file__, "memory-child", case, contender],
                                   check=True, capture_output=True, text=True)
            figures = json.loads(child.stdout)
            grown = [after - before for before, after in zip(figures["sizes_before"], figures["sizes_after"])]
            sizes = ["unchanged" if g == 0 else f"{g / 1e6:+.1f} MB" if abs(g) >= 100_000
                     else f"{g:+,} B" for g in grown]
            row(case, contender, f"{figures['growth'] / 1e6:.1f} MB", human(figures["seconds"]),
                *sizes, widths=widths)
            results.append({"case": case, "contender": contender, **figures})
            exact = exact and figures["reset"]
    if not exact:
        print("(peaks are lower bounds: the high-water mark could not be reset before the call)")
    save(out, "memory", results)


# ---- plot -------------------------------------------------------------------------------------

# Line style and marker of corvane per level; a level not named here takes the next unused one.
LEVEL_STYLES = {"avx512": ("-", "o"), "avx2": (":", "s"), "sse2": ("-.", "D"),
                "portable": ((0, (5, 1)), "v")}


def levels_table(out, other):
    """The synthetic and real-text tables of two levels side by side, from their JSON: corvane's
    time at each level and rapidfuzz's time over it (rapidfuzz as timed in that level's run)."""
    for table, title, keys, widths in (
            ("synthetic", "Synthetic text", ("alphabet", "size"), (9, 7, 10, 8, 10, 8)),
            ("text", "Real text", ("language", "kind"), (10, 9, 10, 8, 10, 8))):
        (first_level, first), (second_level, second) = load(out, table), load(other, table)
        print(f"{title} at two levels: corvane's time and rf/corvane at {first_level} and "
              f"{second_level}")
        row(*("N" if k == "size" else k for k in keys), first_level, "rf/cv", second_level,
            "rf/cv", widths=widths)
        theirs = {tuple(r[k] for k in keys): r for r in second}
        for r in first:
            o = theirs.get(tuple(r[k] for k in keys))
            if o is not None:
                row(*(r[k] for k in keys), human(r["corvane"]),
                    f"{r['rapidfuzz'] / r['corvane']:.2f}x", human(o["corvane"]),
                    f"{o['rapidfuzz'] / o['corvane']:.2f}x", widths=widths)
        if table == "synthetic":
            print()


def plot(out, png, other=None):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    runs = [load(out, "synthetic")] + ([load(other, "synthetic")] if other else [])
    # The levels in a fixed order, so that each keeps its style whichever directory is --out.
    order = list(LEVEL_STYLES)
    runs.sort(key=lambda run: order.index(run[0]) if run[0] in order else len(order))
    spare = [s for name, s in LEVEL_STYLES.items() if name not in [r[0] for r in runs]]
    styles = [LEVEL_STYLES.get(level) or spare.pop(0) for level, _ in runs]
    # With a second level, a third panel shows what the cap costs: each level's time over the first's.
    figure, panels = plt.subplots(1, 2 + (len(runs) > 1), figsize=(12 + 5 * (len(runs) > 1), 5))
    times, ratios = panels[:2]
    for k, alphabet in enumerate(ALPHABETS):
        color = f"C{k}"
        first = None
        for n, ((level, results), (line, marker)) in enumerate(zip(runs, styles)):
            points = dict((r["size"], (r["corvane"], r["rapidfuzz"])) for r in results
                          if r["alphabet"] == alphabet)
            if not points:
                continue
            sizes = sorted(points)
            times.plot(sizes, [points[s][0] for s in sizes], ls=line, marker=marker, color=color, ms=3)
            # rapidfuzz does not depend on corvane's level: the first run's line stands for all.
            if n == 0:
                times.plot(sizes, [points[s][1] for s in sizes], "^--", color=color, ms=3, lw=0.8)
                first = points
            ratios.plot(sizes, [points[s][1] / points[s][0] for s in sizes], ls=line, marker=marker,
                        color=color, ms=3)
            common = [s for s in sizes if first and s in first]
            if n > 0 and common:
                panels[2].plot(common, [points[s][0] / first[s][0] for s in common], ls=line,
                               marker=marker, color=color, ms=3)
    for axes in panels:
        axes.set_xscale("log")
        # The cost of the cap stays near 1, where a linear scale reads more easily.
        axes.set_yscale("log" if axes in (times, ratios) else "linear")
        axes.set_xlabel("code points in source and in target (random text)")
        axes.grid(True, which="major", alpha=0.3)
    # Two small legends rather than one entry per line: colour is the alphabet, style the contender.
    kinds = [Line2D([], [], color="black", ls=line, marker=marker, ms=3, label=f"corvane, {level}")
             for (level, _), (line, marker) in zip(runs, styles)]
    kinds.append(Line2D([], [], color="black", ls="--", marker="^", ms=3, lw=0.8, label="rapidfuzz"))
    times.legend(handles=kinds, fontsize=7, loc="upper left")
    times.set_ylabel("seconds per full-length request")
    alphabets = [Line2D([], [], color=f"C{k}", lw=2, label=alphabet)
                 for k, alphabet in enumerate(ALPHABETS)]
    ratios.legend(handles=alphabets + kinds[:-1], fontsize=7, ncol=2)
    ratios.axhline(1.0, color="black", lw=0.8)
    ratios.set_ylabel("rapidfuzz time / corvane time (above 1: corvane faster)")
    if len(runs) > 1:
        panels[2].axhline(1.0, color="black", lw=0.8)
        panels[2].set_ylabel(f"corvane's time / its time at {runs[0][0]} (above 1: slower)")
        panels[2].legend(handles=kinds[1:-1], fontsize=7)
    levels = ", ".join(level for level, _ in runs)
    figure.suptitle(f"corvane's instruction-set level: {levels}", fontsize=9)
    figure.tight_layout()
    figure.savefig(png, dpi=110)
    print(f"plot written to {png} (levels: {levels})")


def write_documents(out):
    """Writes French and Russian text of the catalogs run together, 200,000 code points each,
    for the native benchmark's comparison of the row updates on real documents."""
    for lang in ("fr", "ru"):
        texts, where = language_text(lang, False)
        whole = "\n".join(texts)[:200_000]
        (out / f"document-{lang}.txt").write_text(whole, encoding="utf-8")
        print(f"document-{lang}.txt: {len(whole):,} code points from {where}")


class Tee:
    """Writes what is printed to the terminal and to a file."""

    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


def main():
    global LEVEL
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("table", choices=["synthetic", "text", "short", "floor", "lengths", "memory",
                                          "memory-child", "plot", "documents", "levels"])
    parser.add_argument("case", nargs="?")
    parser.add_argument("contender", nargs="?")
    parser.add_argument("--out", type=Path, default=Path("."))
    parser.add_argument("--png", type=Path)
    parser.add_argument("--isa", default=LEVEL,
                        help="the instruction-set cap corvane was built with, printed and recorded")
    parser.add_argument("--floor", type=Path, help="the directory holding the built call_floor module")
    parser.add_argument("--other", type=Path, help="plot: results of another level, drawn beside --out's")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    LEVEL = args.isa
    if args.table in ("synthetic", "text", "short", "floor", "lengths", "memory", "levels"):
        # Kept beside the JSON too, for the performance document.
        sys.stdout = Tee(sys.stdout, (args.out / f"{args.table}.txt").open("w", encoding="utf-8"))
    if args.table == "memory-child":
        memory_child(args.case, args.contender)
    elif args.table == "plot":
        plot(args.out, args.png, args.other)
    elif args.table == "levels":
        if args.other is None:
            parser.error("the levels table needs --other DIR, the results of another level")
        levels_table(args.out, args.other)
    elif args.table == "documents":
        write_documents(args.out)
    else:
        tables = {"synthetic": synthetic, "text": real_text, "short": short, "lengths": lengths_table,
                  "memory": memory}
        if args.table == "floor":
            if args.floor is None:
                parser.error("the floor table needs --floor DIR, the directory of the built call_floor")
            # Searched first, so that no other call_floor shadows the one just built.
            sys.path.insert(0, str(args.floor))
            import call_floor
            tables["floor"] = lambda out: floor_table(out, call_floor)
        start = time.perf_counter()
        print(f"level: {LEVEL}")
        tables[args.table](args.out)
        print(f"({args.table}: {time.perf_counter() - start:.0f} s)")
    sys.stdout.flush()
    if FAILURES:
        print(f"{len(FAILURES)} values differ from rapidfuzz's LCS", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
