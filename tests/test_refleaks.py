# Reference and memory-block counts around every path of compute_lcs_similarity (debug interpreter).
import contextlib
import gc
import os
import sys

import pytest

import corvane
from corvane import compute_lcs_similarity as compute

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs a debug build of the interpreter", allow_module_level=True)

WARM_UP = 300
REPEATS = 3000
ROUNDS = 2


def ignore(*report):
    pass


@contextlib.contextmanager
def quiet():
    """Sends standard error to /dev/null at the descriptor level (panic reports, the resume
    banner) and drops what the interpreter would print: the tracebacks of resumed panics go to
    sys.excepthook, whose traceback formatting keeps caches of its own that would blur the
    counts; unraisable exceptions go to sys.unraisablehook."""
    sys.stderr.flush()
    saved = os.dup(2)
    hooks = sys.excepthook, sys.unraisablehook
    with open(os.devnull, "w") as sink:
        os.dup2(sink.fileno(), 2)
        sys.excepthook = sys.unraisablehook = ignore
        try:
            with contextlib.redirect_stderr(sink):
                yield
        finally:
            sys.excepthook, sys.unraisablehook = hooks
            os.dup2(saved, 2)
            os.close(saved)


def panic_type():
    with quiet():
        try:
            compute("abc", "", [1])
        except BaseException as error:  # noqa: BLE001 - the type is what is wanted
            return type(error)
    raise AssertionError("a length beyond the target did not fail")


Panic = panic_type()


class Text(str):
    pass


class SubPanic(Panic):
    pass


class Lengths:
    """A sequence that is iterated rather than read in place: `items` are yielded one by one,
    then `error` (if any) is raised; `length` is what __len__ reports, or raises."""

    def __init__(self, items, error=None, length=None):
        self.items, self.error, self.length = items, error, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        yield from self.items
        if self.error is not None:
            raise self.error


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.value


def caused(error, cause):
    error.__cause__ = cause
    return error


def with_context(error, context):
    error.__context__ = context
    return error


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def fresh(text):
    """A new str equal to `text`, so that every call makes and frees its UTF-8 form."""
    return "".join(list(text))


# (name, call, expected): the call builds its arguments anew each time; expected is None for a
# result, else the exception type and a piece of its message.
OK = None
PATHS = [
    ("ok: positional", lambda: compute("banana", "ananas", [0, 3, 6]), OK),
    (
        "ok: keywords",
        lambda: compute(target="ananas", length_of_prefixes_of_target=(6, 0), source="banana"),
        OK,
    ),
    (
        "ok: text of every width, str subclass",
        lambda: compute(Text(fresh("日本語é😀a")), fresh("日本é😀"), [0, 1, 3, 4, 9]),
        OK,
    ),
    ("ok: lengths past the code points", lambda: compute(fresh("é"), fresh("é"), [1, 2]), OK),
    ("ok: many lengths", lambda: compute("abcd" * 20, "abdc" * 20, list(range(80, 0, -1))), OK),
    ("ok: empty lengths", lambda: compute("abc", "abd", []), OK),
    ("ok: range", lambda: compute("abc", "abd", range(4)), OK),
    ("ok: bytes", lambda: compute("abc", "abd", b"\x01\x02"), OK),
    (
        "ok: iterated, __index__, failing __len__",
        lambda: compute("abc", "abd", Lengths([Index(2), True, 3], length=ValueError("no"))),
        OK,
    ),
    (
        "ok: __len__ reporting 2**40",
        lambda: compute("abc", "abd", Lengths([2, 0, 3], length=2**40)),
        OK,
    ),
    (
        "binding: too many positional",
        lambda: compute("a", "b", [1], 4),
        (TypeError, "takes 3 positional arguments but 4 were given"),
    ),
    (
        "binding: unexpected keyword",
        lambda: compute("a", "b", [1], foo=1),
        (TypeError, "unexpected keyword argument 'foo'"),
    ),
    (
        "binding: keyword without UTF-8 form",
        lambda: compute("a", "b", [1], **{"\udc80": 1}),
        (TypeError, "unexpected keyword argument"),
    ),
    (
        "binding: multiple values",
        lambda: compute("a", "b", [1], source="a"),
        (TypeError, "multiple values for argument 'source'"),
    ),
    (
        "binding: missing one",
        lambda: compute("a", "b"),
        (TypeError, "missing 1 required positional argument"),
    ),
    (
        "binding: missing two",
        lambda: compute("a"),
        (TypeError, "missing 2 required positional arguments"),
    ),
    (
        "binding: missing three",
        lambda: compute(),
        (TypeError, "missing 3 required positional arguments"),
    ),
    (
        "binding: missing source, others by keyword",
        lambda: compute(target="b", length_of_prefixes_of_target=[1]),
        (TypeError, "argument: 'source'"),
    ),
    (
        "conversion: source not a str",
        lambda: compute(1, "b", [1]),
        (TypeError, "argument 'source': 'int' object cannot be cast as 'str'"),
    ),
    (
        "conversion: target not a str",
        lambda: compute("a", b"b", [1]),
        (TypeError, "argument 'target': 'bytes' object cannot be cast as 'str'"),
    ),
    (
        "conversion: source lone surrogate",
        lambda: compute(fresh("a\udc80"), "b", [1]),
        (UnicodeEncodeError, "surrogates not allowed"),
    ),
    (
        "conversion: target lone surrogate",
        lambda: compute("a", fresh("\ud800b"), [1]),
        (UnicodeEncodeError, "surrogates not allowed"),
    ),
    (
        "conversion: lengths a str",
        lambda: compute("a", "b", "12"),
        (TypeError, "Can't extract `str` to `Vec`"),
    ),
    (
        "conversion: lengths a set",
        lambda: compute("a", "b", {1}),
        (TypeError, "'set' object cannot be cast as 'Sequence'"),
    ),
    (
        "conversion: lengths a generator",
        lambda: compute("a", "b", (n for n in [1])),
        (TypeError, "'generator' object cannot be cast as 'Sequence'"),
    ),
    (
        "conversion: float item",
        lambda: compute("a", "b", [0, 1.0]),
        (TypeError, "argument 'length_of_prefixes_of_target': 'float' object"),
    ),
    (
        "conversion: negative item",
        lambda: compute("a", "b", (0, -1)),
        (OverflowError, "negative"),
    ),
    (
        "conversion: item of 2**64",
        lambda: compute("a", "b", [2**64]),
        (OverflowError, "too big"),
    ),
    (
        "conversion: iteration raises ValueError midway",
        lambda: compute("a", "b", Lengths([1] * 20, ValueError("midway"))),
        (ValueError, "midway"),
    ),
    (
        "conversion: iteration raises TypeError with a cause",
        lambda: compute("a", "b", Lengths([1], caused(TypeError("bad"), KeyError("k")))),
        (TypeError, "argument 'length_of_prefixes_of_target': bad"),
    ),
    (
        "conversion: __index__ raises TypeError with a context",
        lambda: compute("a", "b", [Index(error=with_context(TypeError("no"), KeyError("k")))]),
        (TypeError, "argument 'length_of_prefixes_of_target': no"),
    ),
    (
        "conversion: TypeError whose text fails",
        lambda: compute("a", "b", Lengths([], TypeError(Unprintable()))),
        (TypeError, "<unprintable TypeError object>"),
    ),
    (
        "panic: index out of bounds",
        lambda: compute("abc", "abd", [1, 7]),
        (Panic, "index out of bounds: the len is 4 but the index is 7"),
    ),
    (
        "panic: capacity overflow",
        lambda: compute("abc", "abd", Lengths([1], length=2**60)),
        (Panic, "capacity overflow"),
    ),
    (
        "panic: resumed from iteration",
        lambda: compute("abc", "abd", Lengths([], Panic("from python"))),
        (Panic, "from python"),
    ),
    (
        "panic: resumed from __index__",
        lambda: compute("abc", "abd", [Index(error=Panic("from python"))]),
        (Panic, "from python"),
    ),
    (
        "panic: resumed, message text fails",
        lambda: compute("abc", "abd", Lengths([], Panic(Unprintable()))),
        (Panic, "Unwrapped panic from Python code"),
    ),
    (
        "panic: subclass raised by Python passes through",
        lambda: compute("abc", "abd", Lengths([1], SubPanic("own"))),
        (SubPanic, "own"),
    ),
]


def swallowing(call):
    def run():
        try:
            call()
        except BaseException:  # noqa: BLE001 - each path's outcome was checked beforehand
            pass

    return run


def growth(run, repeats, collect=gc.collect):
    """Reference and block totals after `repeats` runs, minus the totals before."""
    collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(repeats):
        run()
    collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def net_growth(run, collect=gc.collect):
    """For each of ROUNDS rounds, the totals' growth over 2 * REPEATS runs minus their growth over
    REPEATS runs: what stays behind per REPEATS calls, free of the fixed amount that any loop
    leaves (its own counter, the interpreter's record of the last exception)."""
    for _ in range(2):
        growth(run, WARM_UP, collect)
    rounds = []
    for _ in range(ROUNDS):
        short_refs, short_blocks = growth(run, REPEATS, collect)
        long_refs, long_blocks = growth(run, 2 * REPEATS, collect)
        rounds.append((long_refs - short_refs, long_blocks - short_blocks))
    return rounds


def report(name, rounds):
    deltas = "  ".join(
        f"round {number}: refs {refs:+d} blocks {blocks:+d}"
        for number, (refs, blocks) in enumerate(rounds, 1)
    )
    print(f"\nrefleaks: {name:<54} per {REPEATS} calls: {deltas}", end="")


def check_outcome(call, expected):
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - compared with the expectation
        assert expected is not None, f"raised {error!r}"
        kind, fragment = expected
        assert type(error) is kind, repr(error)
        assert fragment in str(error), repr(error)
    else:
        assert expected is None, f"returned {result!r}"
        assert type(result) is list and all(type(value) is float for value in result)


@pytest.mark.parametrize("name, call, expected", PATHS, ids=[path[0] for path in PATHS])
def test_path_leaves_reference_and_block_totals_unchanged(name, call, expected):
    with quiet():
        check_outcome(call, expected)
        rounds = net_growth(swallowing(call))
    report(name, rounds)
    assert rounds == [(0, 0)] * ROUNDS


def test_measure_sees_one_reference_kept_per_call():
    kept = []

    def leak():
        kept.append(object())

    rounds = net_growth(leak)
    kept.clear()
    assert all(refs >= REPEATS and blocks >= REPEATS for refs, blocks in rounds), rounds


# Runs in a sub-interpreter: calls the module's initialiser as the import system would. A real
# import statement goes through the import machinery too, whose caches churn by tens of objects
# per thousand imports of anything (a missing module as well) and would hide the module's figures.
SUB_INTERPRETER_SETUP = """
import ctypes, gc
initialise = ctypes.PyDLL({path!r}).PyInit_corvane
initialise.restype = ctypes.py_object
initialise.argtypes = []

def attempt():
    try:
        initialise()
    except ImportError as error:
        return str(error)
"""


def test_refused_import_in_a_sub_interpreter_leaves_totals_unchanged():
    _interpreters = pytest.importorskip("_interpreters")
    interpreter = _interpreters.create("legacy")
    try:
        setup = SUB_INTERPRETER_SETUP.format(path=corvane.__file__)
        assert _interpreters.exec(interpreter, setup) is None
        refused = _interpreters.exec(interpreter, "initialise()")
        assert refused is not None and refused.type.__name__ == "ImportError", refused
        assert "do not yet support subinterpreters" in refused.msg

        def collect():
            _interpreters.exec(interpreter, "gc.collect()")
            gc.collect()

        rounds = net_growth(lambda: _interpreters.exec(interpreter, "attempt()"), collect)
    finally:
        _interpreters.destroy(interpreter)
    report("import refused in a sub-interpreter", rounds)
    assert rounds == [(0, 0)] * ROUNDS
