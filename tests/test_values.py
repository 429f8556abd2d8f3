# The similarity values compute_lcs_similarity returns, exactly, and where it refuses a length.
import random

import pytest
from hypothesis import given, settings, strategies as st

from corvane import compute_lcs_similarity

import model


class Text(str):
    """A str subclass, which every text argument accepts."""


# (source, target, lengths, expected result), é being two bytes in UTF-8 and 日本語 three each.
VALUE_TABLE = [
    ("abc", "abd", [0, 1, 2, 3], [1.0, 0.5, 0.8, 0.6666666666666666]),
    ("abc", "abd", [3, 0, 3], [0.6666666666666666, 1.0, 0.6666666666666666]),
    ("ab", "ba", [1, 2], [0.6666666666666666, 0.5]),
    ("banana", "ananas", [0, 3, 6], [1.0, 0.6666666666666666, 0.8333333333333334]),
    ("", "xy", [0, 1, 2], [1.0, 0.0, 0.0]),
    ("abc", "", [0], [1.0]),
    ("abc", "abd", [], []),
    ("é", "é", [0, 1, 2], [1.0, 0.6666666666666666, 0.0]),
    ("日本", "日本語", [1, 2, 3, 9], [0.2857142857142857, 0.5, 0.4444444444444444, 0.0]),
    ("", "日本語", list(range(10)), [1.0] + [0.0] * 9),
    ("", "", [0, 0], [1.0, 1.0]),
    ("Abc", "abc", [1, 3], [0.0, 0.6666666666666666]),
    ("e\u0301", "é", [1], [0.0]),
]


@pytest.mark.parametrize("source, target, lengths, expected", VALUE_TABLE)
def test_returns_the_exact_similarity_for_each_length(source, target, lengths, expected):
    result = compute_lcs_similarity(source, target, lengths)
    assert type(result) is list
    assert result == expected
    assert all(type(value) is float for value in result)
    assert model.similarities(source, target, lengths) == expected


# (source, target, lengths, message of the failure)
OUT_OF_BOUNDS_TABLE = [
    ("abc", "", [1], "index out of bounds: the len is 1 but the index is 1"),
    ("é", "é", [3], "index out of bounds: the len is 3 but the index is 3"),
    ("abc", "xyz", [0, 1, 99], "index out of bounds: the len is 4 but the index is 99"),
    ("abc", "xyz", [5, 4], "index out of bounds: the len is 4 but the index is 5"),
    ("", "日", [3, 4], "index out of bounds: the len is 4 but the index is 4"),
    (
        "abc",
        "abd",
        [2**64 - 1],
        "index out of bounds: the len is 4 but the index is 18446744073709551615",
    ),
]


@pytest.mark.parametrize("source, target, lengths, message", OUT_OF_BOUNDS_TABLE)
def test_length_beyond_the_target_bytes_fails_with_the_first_offender(
    panic_type, source, target, lengths, message
):
    with pytest.raises(panic_type) as caught:
        compute_lcs_similarity(source, target, lengths)
    assert caught.value.args == (message,)


def test_each_call_returns_a_new_list_and_leaves_the_lengths_alone():
    lengths = [2, 0, 2]
    first = compute_lcs_similarity("abc", "abd", lengths)
    second = compute_lcs_similarity("abc", "abd", lengths)
    assert first == second == [0.8, 1.0, 0.8]
    assert first is not second
    assert lengths == [2, 0, 2]


# Characters of one to four bytes in UTF-8, few enough that common subsequences are frequent.
SMALL_ALPHABET = list("abé日😀") + ["\u07ff", "\uffff", "\U0010ffff"]
CHARACTERS = st.one_of(st.sampled_from(SMALL_ALPHABET), st.characters(codec="utf-8"))


def texts(max_size):
    plain = st.text(CHARACTERS, max_size=max_size)
    return st.one_of(plain, plain.map(Text))


def lengths_within(target, max_length=None):
    """Lists of lengths, mostly up to the target's byte length and with repeats and zeros."""
    target_bytes = len(target.encode("utf-8"))
    top = target_bytes if max_length is None else max_length
    length = st.one_of(st.just(0), st.integers(0, len(target)), st.integers(0, top))
    return st.lists(length, max_size=12).flatmap(
        lambda values: st.sampled_from([values, tuple(values)])
    )


@given(source=texts(16), target=texts(16), data=st.data())
def test_agrees_with_the_model_for_lengths_within_the_target(source, target, data):
    lengths = data.draw(lengths_within(target))
    assert compute_lcs_similarity(source, target, lengths) == model.similarities(
        source, target, lengths
    )


@given(source=texts(8), target=texts(8), data=st.data())
def test_fails_like_the_model_for_lengths_beyond_the_target(panic_type, source, target, data):
    target_bytes = len(target.encode("utf-8"))
    beyond = st.one_of(st.integers(target_bytes + 1, target_bytes + 8), st.just(2**64 - 1))
    lengths = list(data.draw(lengths_within(target)))
    lengths.insert(data.draw(st.integers(0, len(lengths))), data.draw(beyond))
    lengths += data.draw(st.lists(st.one_of(beyond, st.integers(0, target_bytes)), max_size=3))
    with pytest.raises(model.ModelFailure) as expected:
        model.similarities(source, target, lengths)
    with pytest.raises(panic_type) as caught:
        compute_lcs_similarity(source, target, lengths)
    assert caught.value.args == (str(expected.value),)


# Longer texts over a few letters cross 64-position boundaries, where word-wise kernels split.
@settings(max_examples=40)
@given(
    source=st.text(st.sampled_from("abcé日"), min_size=50, max_size=200),
    target=st.text(st.sampled_from("abcé日"), min_size=50, max_size=200),
    data=st.data(),
)
def test_agrees_with_the_model_on_texts_longer_than_a_machine_word(source, target, data):
    lengths = data.draw(lengths_within(target))
    lengths = [len(target), 64, 63, 65, *lengths]
    lengths = [length for length in lengths if length <= len(target.encode("utf-8"))]
    assert compute_lcs_similarity(source, target, lengths) == model.similarities(
        source, target, lengths
    )


@pytest.mark.parametrize("source_size", [63, 64, 65, 127, 128, 129, 200])
@pytest.mark.parametrize("alphabet", ["ab", "abcé日😀"])
def test_agrees_with_the_model_at_machine_word_edges(source_size, alphabet):
    generator = random.Random(source_size * 31 + len(alphabet))
    source = "".join(generator.choice(alphabet) for _ in range(source_size))
    target = "".join(generator.choice(alphabet) for _ in range(generator.randrange(60, 140)))
    lengths = list(range(len(target.encode("utf-8")) + 1))
    generator.shuffle(lengths)
    assert compute_lcs_similarity(source, target, lengths) == model.similarities(
        source, target, lengths
    )
