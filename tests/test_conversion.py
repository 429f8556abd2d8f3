# How compute_lcs_similarity converts its arguments, and the exceptions conversion raises.
import array
import collections.abc
import operator

import pytest

from conftest import run_python_json
from corvane import compute_lcs_similarity

LENGTHS = "length_of_prefixes_of_target"
PREFIX = f"argument '{LENGTHS}': "


class Text(str):
    pass


class Outer:
    class Inner:
        pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OwnIndexInt(int):
    """An int subclass whose __index__ must not be consulted."""

    def __index__(self):
        raise AssertionError("__index__ of an int subclass was called")


class IntList(list):
    pass


def test_accepts_str_subclasses_as_text():
    assert compute_lcs_similarity(Text("abc"), Text("abd"), [2]) == [0.8]


# (source, target, TypeError message)
TEXT_REFUSALS = [
    (b"abc", "abd", "argument 'source': 'bytes' object cannot be cast as 'str'"),
    (1, "abd", "argument 'source': 'int' object cannot be cast as 'str'"),
    (None, "abd", "argument 'source': 'NoneType' object cannot be cast as 'str'"),
    (Outer.Inner(), "abd", "argument 'source': 'Outer.Inner' object cannot be cast as 'str'"),
    ("abc", bytearray(b"abd"), "argument 'target': 'bytearray' object cannot be cast as 'str'"),
    ("abc", ["a"], "argument 'target': 'list' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("source, target, message", TEXT_REFUSALS)
def test_refuses_text_arguments_that_are_not_str(source, target, message):
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity(source, target, [1])
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert caught.value.__suppress_context__


@pytest.mark.parametrize(
    "source, target, bad",
    [("a\udc80b", "abc", "a\udc80b"), ("abc", "\ud800", "\ud800"), ("x\udc80", 1, "x\udc80")],
)
def test_text_without_utf8_form_raises_the_interpreters_encode_error(source, target, bad):
    with pytest.raises(UnicodeEncodeError) as expected:
        bad.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        compute_lcs_similarity(source, target, [1])
    assert type(caught.value) is UnicodeEncodeError
    assert caught.value.args == expected.value.args


def test_source_is_converted_before_target():
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity(1, "\udc80", [1])
    assert caught.value.args == ("argument 'source': 'int' object cannot be cast as 'str'",)


class Iterable:
    def __iter__(self):
        return iter([1])


class RegisteredButNotASequence:
    def __iter__(self):
        return iter([1])

    def __len__(self):
        return 1


collections.abc.Sequence.register(RegisteredButNotASequence)


# (lengths argument, TypeError message)
LENGTHS_REFUSALS = [
    ("12", PREFIX + "Can't extract `str` to `Vec`"),
    ("", PREFIX + "Can't extract `str` to `Vec`"),
    (Text("12"), PREFIX + "Can't extract `str` to `Vec`"),
    ({1: 1}, PREFIX + "'dict' object cannot be cast as 'Sequence'"),
    ({1}, PREFIX + "'set' object cannot be cast as 'Sequence'"),
    ((n for n in [1]), PREFIX + "'generator' object cannot be cast as 'Sequence'"),
    (1, PREFIX + "'int' object cannot be cast as 'Sequence'"),
    (None, PREFIX + "'NoneType' object cannot be cast as 'Sequence'"),
    ({1: 1}.keys(), PREFIX + "'dict_keys' object cannot be cast as 'Sequence'"),
    (Iterable(), PREFIX + "'Iterable' object cannot be cast as 'Sequence'"),
    (
        RegisteredButNotASequence(),
        PREFIX + "'RegisteredButNotASequence' object cannot be cast as 'Sequence'",
    ),
    (Outer.Inner(), PREFIX + "'Outer.Inner' object cannot be cast as 'Sequence'"),
]


@pytest.mark.parametrize("lengths, message", LENGTHS_REFUSALS)
def test_refuses_lengths_that_are_str_or_not_a_sequence(lengths, message):
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", lengths)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__


class SizedByIteration:
    """A sequence whose iteration yields `items` whatever its __len__ says or raises."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


class IndexedOnly:
    """A sequence known only through __getitem__: no __len__ and no __iter__."""

    def __getitem__(self, index):
        return [2, 0][index]


# (lengths argument, the lengths it stands for)
ACCEPTED_LENGTHS = [
    ((2, 0), [2, 0]),
    (range(3), [0, 1, 2]),
    (range(3, 0, -1), [3, 2, 1]),
    (b"\x01\x02", [1, 2]),
    (bytearray(b"\x03"), [3]),
    (array.array("Q", [2, 3]), [2, 3]),
    (IntList([1, 2]), [1, 2]),
    ([], []),
    ((), []),
    ([True, False], [1, 0]),
    ([IntLike(2), IntLike(0)], [2, 0]),
    ([OwnIndexInt(2)], [2]),
    # plain ints read before an item that needs the general path, and past the inline capacity
    ([2, 1, True, IntLike(0)], [2, 1, 1, 0]),
    ([1] * 9 + [IntLike(2)], [1] * 9 + [2]),
    (SizedByIteration([1, 2], ValueError("no length")), [1, 2]),
    (SizedByIteration([1, 2], TypeError("no length")), [1, 2]),
    (SizedByIteration([1, 2], 0), [1, 2]),
    (SizedByIteration([1, 2, 3], 1), [1, 2, 3]),
    (SizedByIteration([1], -1), [1]),
    (SizedByIteration([1], 2**63), [1]),
    (IndexedOnly(), [2, 0]),
]


@pytest.mark.parametrize("lengths, meaning", ACCEPTED_LENGTHS)
def test_accepts_sequences_of_integers_as_lengths(lengths, meaning):
    expected = compute_lcs_similarity("abc", "abd", list(meaning))
    assert compute_lcs_similarity("abc", "abd", lengths) == expected
    assert len(expected) == len(meaning)


def test_ignored_length_failure_leaves_no_trace(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    assert compute_lcs_similarity("abc", "abd", SizedByIteration([2], ValueError("x"))) == [0.8]
    assert reported == []


def test_largest_unsigned_64_bit_length_converts_and_is_then_out_of_bounds(panic_type):
    with pytest.raises(panic_type) as caught:
        compute_lcs_similarity("abc", "abd", [0, IntLike(2**64 - 1)])
    assert caught.value.args == (
        "index out of bounds: the len is 4 but the index is 18446744073709551615",
    )


@pytest.mark.parametrize(
    "item", [2**64, -1, IntLike(2**64), IntLike(-1), OwnIndexInt(-1), 2**100]
)
def test_length_outside_unsigned_64_bits_raises_overflow_error_unprefixed(item):
    with pytest.raises(OverflowError) as caught:
        compute_lcs_similarity("abc", "abd", [1, item])
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


class BadIndexResult:
    def __index__(self):
        return "2"


@pytest.mark.parametrize("item", [1.0, "1", None, BadIndexResult()])
def test_length_item_that_is_not_an_integer_raises_prefixed_type_error(item):
    with pytest.raises(TypeError) as expected:
        operator.index(item)
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", [1, item])
    assert type(caught.value) is TypeError
    assert caught.value.args == (PREFIX + str(expected.value),)


class FailingIteration:
    """A sequence whose iteration yields `before` and then raises `error`."""

    def __init__(self, error, before=(1, 2)):
        self.error = error
        self.before = before

    def __len__(self):
        return len(self.before) + 1

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        yield from self.before
        raise self.error


class NarrowTypeError(TypeError):
    pass


@pytest.mark.parametrize(
    "error",
    [ValueError("midway"), OverflowError("midway"), NarrowTypeError("midway"), KeyError("k")],
    ids=lambda error: type(error).__name__,
)
def test_error_other_than_type_error_during_iteration_passes_unchanged(error):
    with pytest.raises(BaseException) as caught:
        compute_lcs_similarity("abc", "abd", FailingIteration(error))
    assert caught.value is error
    assert str(caught.value) == str(error)


def test_type_error_during_iteration_is_prefixed_and_keeps_its_cause():
    cause = KeyError("underneath")
    error = TypeError("midway")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", FailingIteration(error))
    assert type(caught.value) is TypeError
    assert caught.value is not error
    assert caught.value.args == (PREFIX + "midway",)
    assert caught.value.__cause__ is cause
    assert caught.value.__suppress_context__
    assert caught.value.__context__ is None


class RaisesWhileHandling:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        try:
            raise LookupError("context only")
        except LookupError:
            raise TypeError("while handling")


def test_type_error_during_iteration_loses_its_context():
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", RaisesWhileHandling())
    assert caught.value.args == (PREFIX + "while handling",)
    assert caught.value.__cause__ is None
    assert caught.value.__context__ is None
    assert caught.value.__suppress_context__


class NotAnIterator:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        return 1

    def __iter__(self):
        return 5


def test_iterator_that_cannot_be_made_raises_prefixed_type_error():
    with pytest.raises(TypeError) as expected:
        iter(NotAnIterator())
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", NotAnIterator())
    assert caught.value.args == (PREFIX + str(expected.value),)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_type_error_whose_text_fails_is_shown_by_its_type(monkeypatch):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("abc", "abd", FailingIteration(TypeError(Unprintable())))
    assert caught.value.args == (PREFIX + "<unprintable TypeError object>",)
    assert [type(report.exc_value) for report in reported] == [RuntimeError]


@pytest.mark.parametrize("hint", [2**60, 2**62 + 1, 2**63 - 1])
def test_length_hint_of_2_to_the_60_or_more_is_a_capacity_overflow(panic_type, hint):
    with pytest.raises(panic_type) as caught:
        compute_lcs_similarity("abc", "abd", SizedByIteration([1], hint))
    assert caught.value.args == ("capacity overflow",)


def test_refused_sequence_while_collections_abc_is_unavailable_is_a_panic_then_retried():
    result, process = run_python_json(
        """
        import collections.abc, json, sys
        import corvane

        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        outcomes = []
        for restore in [False, True]:
            if restore:
                sys.modules["collections.abc"] = saved
            try:
                corvane.compute_lcs_similarity("abc", "abd", {1})
            except BaseException as error:
                kind = type(error)
                outcomes.append([kind.__module__, kind.__name__, str(error)])
        print(json.dumps(outcomes))
        """
    )
    unavailable, restored = result
    assert unavailable[:2] == ["pyo3_runtime", "PanicException"]
    assert unavailable[2].startswith(
        "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'ModuleNotFoundError'>"
    )
    assert "panicked at" in process.stderr
    assert restored == [
        "builtins",
        "TypeError",
        PREFIX + "'set' object cannot be cast as 'Sequence'",
    ]


def test_sequence_type_is_imported_once_and_only_for_a_refusal():
    result, _ = run_python_json(
        """
        import collections.abc, json, sys
        import corvane

        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        outcomes = [corvane.compute_lcs_similarity("abc", "abd", [2])]
        sys.modules["collections.abc"] = saved
        for unavailable in [False, True]:
            if unavailable:
                sys.modules["collections.abc"] = None
            try:
                corvane.compute_lcs_similarity("abc", "abd", 5)
            except BaseException as error:
                outcomes.append([type(error).__name__, str(error)])
        print(json.dumps(outcomes))
        """
    )
    assert result == [
        [0.8],
        ["TypeError", PREFIX + "'int' object cannot be cast as 'Sequence'"],
        ["TypeError", PREFIX + "'int' object cannot be cast as 'Sequence'"],
    ]
