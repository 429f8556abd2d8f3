# Calls made while the interpreter shuts down give the values and TypeErrors of any other time.
import ast

import pytest

from conftest import outcome, run_python
from corvane import compute_lcs_similarity

# The calls, made here and in the child. A sequence whose iteration raises a TypeError gets the
# argument prefix; the set is refused as a non-sequence.
CALLS = """
class RaisesOnIteration:
    def __len__(self):
        return 1
    def __getitem__(self, index):
        return 0
    def __iter__(self):
        raise TypeError("no iteration here")

CASES = [
    ("abc", "abd", [0, 2, 3]),
    (1, "a", [1]),
    ("a", 2, [1]),
    ("a", "a", "ab"),
    ("a", "a", {1}),
    ("a", "a", RaisesOnIteration()),
    ("a", "a", [1.5]),
]
"""

# The child makes every call of CASES from one kind of code the interpreter runs at exit and
# writes the outcomes to standard output. The calls happen only there, so the refused set is the
# first refusal of the process.
CHILD = """
import atexit, os, weakref
from corvane import compute_lcs_similarity
{calls}
def calls(*_, compute=compute_lcs_similarity, cases=CASES, write=os.write, show=repr,
          kind=type, text=str):
    for args in cases:
        try:
            result = ("ok", compute(*args))
        except BaseException as error:
            result = ("raised", kind(error).__name__, text(error))
        write(1, (show(result) + "\\n").encode())

class CallsWhenFinalized:
    def __del__(self, calls=calls):
        calls()

class Target:
    pass

{stage}
"""

STAGES = {
    "atexit handler": "atexit.register(calls)",
    "__del__ of a global": "kept = CallsWhenFinalized()",
    "__del__ in a reference cycle": "cycle = CallsWhenFinalized()\ncycle.self = cycle",
    # Plain weak references die with the modules; a finalizer of a live object runs at exit.
    "weakref finalizer": "target = Target()\nweakref.finalize(target, calls)",
}


def usual_outcomes():
    namespace = {}
    exec(CALLS, namespace)
    described = []
    for args in namespace["CASES"]:
        result = outcome(lambda args=args: compute_lcs_similarity(*args))
        ok = result[0] == "ok"
        described.append(result if ok else ("raised", result[1].__name__, str(result[2][0])))
    return described


@pytest.mark.parametrize("stage", STAGES.values(), ids=STAGES.keys())
def test_calls_during_shutdown_give_the_usual_values_and_type_errors(stage):
    process = run_python(CHILD.format(calls=CALLS, stage=stage))
    assert process.returncode == 0, process.stderr
    assert "panicked" not in process.stderr
    seen = [ast.literal_eval(line) for line in process.stdout.splitlines()]
    assert seen == usual_outcomes()
