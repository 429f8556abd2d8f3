# compute_lcs_similarity called from many Python threads at once.
import sys
import threading

import pytest

from conftest import outcome, run_python_json
from corvane import compute_lcs_similarity

THREADS = 16

# Valid calls, refused calls and calls that fail in the kernel, each run by every thread.
CALLS = [
    (("banana", "ananas", [0, 3, 6]), {}),
    (("日本" * 20, "日本語" * 30, range(0, 270, 7)), {}),
    (("abc",), {"target": "abd", "length_of_prefixes_of_target": (3, 0, 3)}),
    (("abc", "abd", {1}), {}),
    ((b"abc", "abd", [1]), {}),
    (("abc", "abd", "12"), {}),
    (("abc", "abd", [1.0]), {}),
    (("abc", "abd", [-1]), {}),
    (("abc",), {"foo": 1}),
    (("abc", "abd", [0, 1, 99]), {}),
    (("", "", [1]), {}),
]


def run_all_calls():
    return [outcome(lambda: compute_lcs_similarity(*args, **kwargs)) for args, kwargs in CALLS]


@pytest.fixture
def fast_thread_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_calls_from_many_threads_at_once_give_the_serial_results(fast_thread_switching):
    serial = run_all_calls()
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS

    def worker(index):
        barrier.wait()
        results[index] = [run_all_calls() for _ in range(5)]

    threads = [threading.Thread(target=worker, args=(index,)) for index in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for per_thread in results:
        assert per_thread == [serial] * 5


def test_first_refusals_and_failures_from_many_threads_at_once_agree():
    # In a fresh process, so that the sequence type and the panic type are both first needed
    # by these threads at the same moment; the sequence type is imported once for all of them.
    result, _ = run_python_json(
        """
        import builtins, json, sys, threading
        import corvane

        imports = []
        plain_import = builtins.__import__
        def counting_import(name, *args, **kwargs):
            if name == "collections.abc":
                imports.append(threading.get_ident())
            return plain_import(name, *args, **kwargs)
        builtins.__import__ = counting_import

        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(16)
        seen = [None] * 16

        def worker(index):
            lengths = {1} if index % 2 else [7]
            barrier.wait()
            try:
                corvane.compute_lcs_similarity("abc", "abd", lengths)
            except BaseException as error:
                seen[index] = (type(error), error.args)

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(16)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        kinds = {id(kind) for kind, _ in seen}
        print(json.dumps([
            len(imports),
            len(kinds),
            sorted({kind.__module__ + "." + kind.__name__ for kind, _ in seen}),
            sorted({args for _, args in seen}),
        ]))
        """
    )
    assert result == [
        1,
        2,
        ["builtins.TypeError", "pyo3_runtime.PanicException"],
        [
            ["argument 'length_of_prefixes_of_target': 'set' object cannot be cast as 'Sequence'"],
            ["index out of bounds: the len is 4 but the index is 7"],
        ],
    ]
