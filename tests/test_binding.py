# How compute_lcs_similarity binds positional and keyword arguments, and its binding messages.
import pytest

from corvane import compute_lcs_similarity

NAME = "compute_lcs_similarity()"
LENGTHS = "length_of_prefixes_of_target"

# (positional arguments, keyword arguments): every way of passing "abc", "abd", [2, 0].
VALID_BINDINGS = [
    (("abc", "abd", [2, 0]), {}),
    ((), {"source": "abc", "target": "abd", LENGTHS: [2, 0]}),
    ((), {LENGTHS: [2, 0], "target": "abd", "source": "abc"}),
    (("abc",), {"target": "abd", LENGTHS: [2, 0]}),
    (("abc",), {LENGTHS: [2, 0], "target": "abd"}),
    (("abc", "abd"), {LENGTHS: [2, 0]}),
]


@pytest.mark.parametrize("args, kwargs", VALID_BINDINGS)
def test_binds_each_parameter_by_position_or_keyword(args, kwargs):
    assert compute_lcs_similarity(*args, **kwargs) == [0.8, 1.0]


class ShownAs(str):
    """A keyword name whose str() differs from its text."""

    def __str__(self):
        return "shown"


# (positional arguments, keyword arguments, TypeError message)
BINDING_ERRORS = [
    (("a", "b", [1], 4), {}, f"{NAME} takes 3 positional arguments but 4 were given"),
    (("a", "b", [1], 4, 5), {}, f"{NAME} takes 3 positional arguments but 5 were given"),
    (("a", "b", [1]), {"foo": 1}, f"{NAME} got an unexpected keyword argument 'foo'"),
    (("a", "b", [1]), {"source": "a"}, f"{NAME} got multiple values for argument 'source'"),
    (("a", "b", [1]), {"target": "b"}, f"{NAME} got multiple values for argument 'target'"),
    (("a", "b", [1]), {LENGTHS: [1]}, f"{NAME} got multiple values for argument '{LENGTHS}'"),
    (("a", "b"), {}, f"{NAME} missing 1 required positional argument: '{LENGTHS}'"),
    (
        ("a",),
        {},
        f"{NAME} missing 2 required positional arguments: 'target' and '{LENGTHS}'",
    ),
    (
        (),
        {},
        f"{NAME} missing 3 required positional arguments: 'source', 'target', and '{LENGTHS}'",
    ),
    ((), {"target": "b", LENGTHS: [1]}, f"{NAME} missing 1 required positional argument: 'source'"),
    (
        (),
        {"target": "b"},
        f"{NAME} missing 2 required positional arguments: 'source' and '{LENGTHS}'",
    ),
    (("a",), {LENGTHS: [1]}, f"{NAME} missing 1 required positional argument: 'target'"),
    # Positional surplus is found before any keyword is looked at.
    (("a", "b", [1], 4), {"foo": 1}, f"{NAME} takes 3 positional arguments but 4 were given"),
    (("a", "b", [1], 4), {"source": "a"}, f"{NAME} takes 3 positional arguments but 4 were given"),
    # An unknown keyword is reported before missing arguments.
    ((), {"foo": 1}, f"{NAME} got an unexpected keyword argument 'foo'"),
    # Keywords are handled in the order given.
    (("a", "b", [1]), {"foo": 1, "source": "a"}, f"{NAME} got an unexpected keyword argument 'foo'"),
    (("a", "b", [1]), {"source": "a", "foo": 1}, f"{NAME} got multiple values for argument 'source'"),
    # A duplicate is found before the test for missing arguments.
    (("a",), {"source": "a"}, f"{NAME} got multiple values for argument 'source'"),
    # Names match by their exact bytes.
    (("a", "b", [1]), {"Source": "a"}, f"{NAME} got an unexpected keyword argument 'Source'"),
    (("a", "b"), {"length_of_prefixes": [1]}, f"{NAME} got an unexpected keyword argument 'length_of_prefixes'"),
    (("a", "b"), {"source\0": [1]}, f"{NAME} got an unexpected keyword argument 'source\0'"),
    (("a", "b", [1]), {"sourcé": "a"}, f"{NAME} got an unexpected keyword argument 'sourcé'"),
    # A keyword name is shown by its str(); one without UTF-8 form shows U+FFFD per byte.
    (("a", "b", [1]), {ShownAs("foo"): 1}, f"{NAME} got an unexpected keyword argument 'shown'"),
    (
        ("a", "b", [1]),
        {"x\udc80y": 1},
        f"{NAME} got an unexpected keyword argument 'x\ufffd\ufffd\ufffdy'",
    ),
    # Binding errors come before any argument is converted.
    ((1, 2, 3, 4), {}, f"{NAME} takes 3 positional arguments but 4 were given"),
    ((1, 2), {}, f"{NAME} missing 1 required positional argument: '{LENGTHS}'"),
    ((1,), {"bar": 2}, f"{NAME} got an unexpected keyword argument 'bar'"),
]


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
def test_binding_error_is_a_type_error_with_the_exact_message(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert caught.value.__cause__ is None
    assert caught.value.__context__ is None


def test_keyword_matching_a_parameter_by_text_binds_even_from_a_str_subclass():
    assert compute_lcs_similarity("abc", "abd", **{ShownAs(LENGTHS): [2]}) == [0.8]


def test_keyword_whose_str_fails_is_shown_by_its_type_and_reported_as_unraisable(monkeypatch):
    class Unprintable(str):
        def __str__(self):
            raise RuntimeError("no text")

    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("a", "b", [1], **{Unprintable("foo"): 1})
    assert caught.value.args == (
        f"{NAME} got an unexpected keyword argument '<unprintable Unprintable object>'",
    )
    assert [type(report.exc_value) for report in reported] == [RuntimeError]


def test_only_the_first_wrong_argument_is_named():
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity(1, 2.5, "x")
    assert caught.value.args == ("argument 'source': 'int' object cannot be cast as 'str'",)
    with pytest.raises(TypeError) as caught:
        compute_lcs_similarity("a", 2.5, "x")
    assert caught.value.args == ("argument 'target': 'float' object cannot be cast as 'str'",)
