# Native failures as Python sees them: PanicException, the report on standard error, the resume.
import re

import pytest

import corvane
from conftest import run_python_json
from corvane import compute_lcs_similarity

OUT_OF_BOUNDS = "index out of bounds: the len is 4 but the index is 7"
DOC_TAIL = (
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_failure_in_the_kernel_raises_panic_exception_with_its_message(panic_type):
    with pytest.raises(BaseException) as caught:
        compute_lcs_similarity("abc", "abd", [1, 7, 9])
    error = caught.value
    assert type(error) is panic_type
    assert error.args == (OUT_OF_BOUNDS,)
    assert str(error) == OUT_OF_BOUNDS
    assert not isinstance(error, Exception)


def test_panic_exception_type_is_a_base_exception_outside_the_module(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert re.fullmatch(r"\n[^\n]+\n\n" + re.escape(DOC_TAIL), panic_type.__doc__)
    assert all(value is not panic_type for value in vars(corvane).values())


def test_every_failure_raises_the_same_panic_type(panic_type):
    for lengths in ([4], [0, 99]):
        with pytest.raises(panic_type):
            compute_lcs_similarity("", "abc", lengths)


def test_exception_handlers_for_exception_do_not_catch_a_panic(panic_type):
    def swallow_ordinary_errors():
        try:
            compute_lcs_similarity("abc", "", [1])
        except Exception:
            return "caught"

    with pytest.raises(panic_type):
        swallow_ordinary_errors()


FAILING_CALL = """
import json, sys
import corvane
try:
    corvane.compute_lcs_similarity("abc", "abd", [1, 7])
except BaseException as error:
    print(json.dumps([type(error).__name__, error.args]))
"""


def test_failure_is_reported_on_standard_error_with_a_note_on_backtraces():
    result, process = run_python_json(FAILING_CALL)
    assert result == ["PanicException", [OUT_OF_BOUNDS]]
    # The location is relative to the project, whatever directory it was built in.
    assert "panicked at src/similarity.hpp:" in process.stderr
    assert OUT_OF_BOUNDS in process.stderr
    assert "CORVANE_BACKTRACE" in process.stderr
    assert "stack backtrace:" not in process.stderr


def test_failure_report_holds_a_backtrace_when_asked_for():
    result, process = run_python_json(FAILING_CALL, env={"CORVANE_BACKTRACE": "1"})
    assert result == ["PanicException", [OUT_OF_BOUNDS]]
    assert "panicked at" in process.stderr
    assert OUT_OF_BOUNDS in process.stderr
    assert "stack backtrace:" in process.stderr


def test_failure_report_goes_to_the_process_error_stream_not_sys_stderr():
    result, process = run_python_json(
        """
        import io, json, sys
        import corvane
        sys.stderr = captured = io.StringIO()
        try:
            corvane.compute_lcs_similarity("abc", "abd", [7])
        except BaseException as error:
            pass
        sys.stderr = sys.__stderr__
        print(json.dumps(captured.getvalue()))
        """
    )
    assert result == ""
    assert "panicked at" in process.stderr


RESUME_BANNER = "--- corvane is resuming a panic after fetching a PanicException from Python. ---"

# Runs one call whose lengths argument raises an instance of the panic type (built by `make`) from
# the place named by `where`, and prints what the call raised.
RESUME_SCRIPT = """
import json, sys
import corvane

try:
    corvane.compute_lcs_similarity("abc", "", [1])
except BaseException as error:
    Panic = type(error)

class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

class SubPanic(Panic):
    pass

raised = {make}

class Index:
    def __index__(self):
        raise raised

class Lengths:
    def __len__(self):
        return 2
    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")
    def __iter__(self):
        if "{where}" == "iter":
            raise raised
        yield 1
        if "{where}" == "next":
            raise raised
        yield Index()

sys.stderr.write("=== call ===\\n")
sys.stderr.flush()
try:
    corvane.compute_lcs_similarity("abc", "abd", Lengths())
except BaseException as error:
    print(json.dumps([
        type(error) is Panic, type(error) is SubPanic, error is raised, list(error.args),
    ]))
"""


@pytest.mark.parametrize("where", ["iter", "next", "index"])
def test_panic_exception_raised_by_python_code_is_resumed_with_its_message(where):
    result, process = run_python_json(
        RESUME_SCRIPT.format(make='Panic("from python")', where=where)
    )
    assert result == [True, False, False, ["from python"]]
    report = process.stderr.split("=== call ===\n", 1)[1]
    assert RESUME_BANNER + "\n" in report
    assert "Python stack trace below:\n" in report
    assert report.index(RESUME_BANNER) < report.index("Python stack trace below:")
    assert "Traceback (most recent call last):" in report
    assert "PanicException: from python" in report
    # The resumed failure is not reported a second time.
    assert "panicked at" not in report


@pytest.mark.parametrize(
    "make, message",
    [
        ("Panic(Unprintable())", "Unwrapped panic from Python code"),
        ('Panic("a\\udc80b")', "a\ufffd\ufffd\ufffdb"),
        ('Panic("one", "two")', "('one', 'two')"),
    ],
)
def test_resumed_panic_message_is_the_text_of_the_raised_one(make, message):
    result, process = run_python_json(RESUME_SCRIPT.format(make=make, where="iter"))
    assert result == [True, False, False, [message]]
    assert RESUME_BANNER in process.stderr


def test_subclass_of_panic_exception_propagates_unchanged():
    result, process = run_python_json(
        RESUME_SCRIPT.format(make='SubPanic("own kind")', where="next")
    )
    assert result == [False, True, True, ["own kind"]]
    assert RESUME_BANNER not in process.stderr


def test_panic_crosses_process_boundaries_into_a_process_without_corvane():
    # The receiving process imports corvane only when the error arrives; a multiprocessing pool
    # worker catches only Exception, so the error is sent through a queue there.
    result, _ = run_python_json(
        """
        import json, multiprocessing, pickle, sys
        from concurrent.futures import ProcessPoolExecutor

        FAILING = "__import__('corvane').compute_lcs_similarity('abc', 'abd', [1, 7])"
        SEND = "try:\\n    eval(FAILING)\\nexcept BaseException as error:\\n    queue.put(error)"

        def describe(error):
            kind = type(error)
            return [kind.__module__, kind.__qualname__, list(error.args),
                    isinstance(error, Exception), isinstance(error, BaseException)]

        if __name__ == "__main__":
            context = multiprocessing.get_context("spawn")
            imported_before = "corvane" in sys.modules
            with ProcessPoolExecutor(1, mp_context=context) as executor:
                try:
                    executor.submit(eval, FAILING).result(timeout=60)
                except BaseException as error:
                    pooled = error
            queue = context.Queue()
            process = context.Process(
                target=exec, args=(SEND, {"FAILING": FAILING, "queue": queue}))
            process.start()
            queued = queue.get(timeout=60)
            process.join()
            import corvane
            try:
                corvane.compute_lcs_similarity("abc", "", [1])
            except BaseException as error:
                local = type(error)
            pooled.add_note("a note")
            copied = pickle.loads(pickle.dumps(pooled))
            print(json.dumps({
                "imported before": imported_before,
                "received": [describe(pooled), describe(queued)],
                "local type": [type(pooled) is local, type(queued) is local],
                "round trip": [type(copied) is local, copied.args == pooled.args,
                               copied.__notes__],
            }))
        """,
        timeout=120,
    )
    expected = ["pyo3_runtime", "PanicException", [OUT_OF_BOUNDS], False, True]
    assert result == {
        "imported before": False,
        "received": [expected, expected],
        "local type": [True, True],
        "round trip": [True, True, ["a note"]],
    }
