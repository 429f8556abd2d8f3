# The corvane module object: its attributes, repeated initialisation and other interpreters.
import ctypes
import inspect
import sys
import types

import pytest

import corvane
from conftest import run_python_json

REFUSAL = (
    "corvane modules do not yet support subinterpreters, see "
    "https://github.com/corvane/corvane/issues/7"
)


def test_module_has_its_name_an_empty_docstring_and_one_exported_name():
    assert corvane.__name__ == "corvane"
    assert corvane.__doc__ == ""
    assert type(corvane.__all__) is list
    assert corvane.__all__ == ["compute_lcs_similarity"]
    assert [name for name in vars(corvane) if not name.startswith("__")] == [
        "compute_lcs_similarity"
    ]


def test_function_is_a_builtin_bound_to_the_module_with_a_text_signature():
    function = corvane.compute_lcs_similarity
    assert type(function) is types.BuiltinFunctionType
    assert function.__self__ is corvane
    assert function.__module__ == "corvane"
    assert function.__name__ == "compute_lcs_similarity"
    assert function.__qualname__ == "compute_lcs_similarity"
    assert function.__text_signature__ == "(source, target, length_of_prefixes_of_target)"
    assert function.__doc__ is None
    parameters = inspect.signature(function).parameters.values()
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        (name, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)
        for name in ("source", "target", "length_of_prefixes_of_target")
    ]


def init_function():
    init = ctypes.PyDLL(corvane.__file__).PyInit_corvane
    init.restype = ctypes.py_object
    init.argtypes = []
    return init


def test_initialising_again_returns_the_same_module_with_one_more_reference():
    init = init_function()
    before = sys.getrefcount(corvane)
    again = init()
    assert again is corvane
    # ctypes keeps the reference handed out by the call as the one `again` holds.
    assert sys.getrefcount(corvane) == before + 1
    del again
    assert sys.getrefcount(corvane) == before


def test_initialising_again_does_not_run_the_module_body_again():
    result, _ = run_python_json(
        """
        import ctypes, json
        import corvane
        init = ctypes.PyDLL(corvane.__file__).PyInit_corvane
        init.restype = ctypes.py_object
        function = corvane.compute_lcs_similarity
        del corvane.compute_lcs_similarity
        corvane.__all__ = ["replaced"]
        again = init()
        print(json.dumps([
            again is corvane,
            hasattr(again, "compute_lcs_similarity"),
            again.__all__,
            function("abc", "abd", [2]),
        ]))
        """
    )
    assert result == [True, False, ["replaced"], [0.8]]


# Prints, as JSON, what happened to an import of corvane in a sub-interpreter made with `config`,
# and the main interpreter's corvane working afterwards.
MAIN_FIRST = """
import json, sys
import _interpreters
import corvane

interpreter = _interpreters.create({config!r})
failure = _interpreters.exec(interpreter, "import sys; sys.path[:] = " + repr(sys.path) + "\\nimport corvane")
_interpreters.destroy(interpreter)
print(json.dumps([
    None if failure is None else failure.type.__name__,
    None if failure is None else failure.msg,
    corvane.compute_lcs_similarity("abc", "abd", [2]),
]))
"""


@pytest.mark.skipif(
    sys.version_info < (3, 14),
    reason="concurrent.interpreters is new in Python 3.14; the tests through _interpreters hold",
)
def test_sub_interpreter_of_the_interpreters_module_cannot_import():
    result, _ = run_python_json(
        """
        import json, sys
        from concurrent import interpreters
        import corvane

        interpreter = interpreters.create()
        try:
            interpreter.exec("import sys; sys.path[:] = " + repr(sys.path) + "\\nimport corvane")
            failure = None
        except interpreters.ExecutionFailed as error:
            failure = error.excinfo.type.__name__
        interpreter.close()
        print(json.dumps([failure, corvane.compute_lcs_similarity("abc", "abd", [2])]))
        """
    )
    assert result == ["ImportError", [0.8]]


def test_legacy_sub_interpreter_is_refused_by_the_module_itself():
    result, _ = run_python_json(MAIN_FIRST.format(config="legacy"))
    assert result == ["ImportError", REFUSAL, [0.8]]


def test_sub_interpreter_importing_first_is_refused_since_main_initialises_first():
    # The import system of 3.14 runs a single-phase initialiser in the main interpreter before
    # the importing sub-interpreter, so the main interpreter is the one recorded.
    result, _ = run_python_json(
        """
        import json, sys
        import _interpreters

        interpreter = _interpreters.create("legacy")
        code = "import sys; sys.path[:] = " + repr(sys.path) + "\\nimport corvane"
        failure = _interpreters.exec(interpreter, code)
        import corvane
        print(json.dumps([
            None if failure is None else [failure.type.__name__, failure.msg],
            corvane.compute_lcs_similarity("abc", "abd", [2]),
        ]))
        """
    )
    assert result == [["ImportError", REFUSAL], [0.8]]


def test_main_interpreter_is_refused_after_a_sub_interpreter_initialised_the_module():
    result, _ = run_python_json(
        """
        import importlib.util, json
        import _interpreters

        path = importlib.util.find_spec("corvane").origin
        interpreter = _interpreters.create("legacy")
        code = (
            "import ctypes\\n"
            f"init = ctypes.PyDLL({path!r}).PyInit_corvane\\n"
            "init.restype = ctypes.py_object\\n"
            "module = init()\\n"
            "assert module.compute_lcs_similarity('abc', 'abd', [2]) == [0.8]\\n"
        )
        in_sub = _interpreters.exec(interpreter, code)
        try:
            import corvane
            in_main = None
        except ImportError as error:
            in_main = [type(error).__name__, str(error)]
        print(json.dumps([None if in_sub is None else in_sub.formatted, in_main]))
        """
    )
    assert result == [None, ["ImportError", REFUSAL]]
