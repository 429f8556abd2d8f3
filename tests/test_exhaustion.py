# compute_lcs_similarity when memory runs out: an exception, never a crash, and working afterwards.
import json

import pytest

import model
from conftest import EMULATED, UNDER_ASAN, run_python

pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="address-space limits cannot work under ASan")
# qemu-user (make test-arm64 and make dist-arm64 set CORVANE_QEMU_USER=1) accepts RLIMIT_AS but
# applies no limit: a child that should run out of memory would take the machine's instead.
needs_limit = pytest.mark.skipif(
    EMULATED,
    reason="qemu-user does not enforce RLIMIT_AS, so the address-space limit cannot exhaust memory",
)

LIMIT = 3 << 29  # 1.5 GiB of address space for the child
NORMAL_CALL = ("banana", "ananas", [0, 3, 6, 2])

# Runs `body` (which sets `outcomes`, a list of what each attempt gave) under the address-space
# limit, then a normal call, and prints both.
CHILD = """
import json, resource
resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
import corvane
from corvane import compute_lcs_similarity as compute

def attempt(call):
    # What the call gave: ["ok", its result, or its length when long], or the exception.
    try:
        result = call()
        return ["ok", result if len(result) < 100 else len(result)]
    except BaseException as error:
        return [type(error).__name__, str(error)]

def largest(make, size):
    # The largest object that `make` can build, halving the size from `size` until it fits.
    while True:
        try:
            return make(size)
        except MemoryError:
            size //= 2

{body}
after = compute(*{normal!r})
print(json.dumps({{"outcomes": outcomes, "after": after}}))
"""

SCENARIOS = {
    # The target takes most of the limit; the call is asked for every 16th prefix length, whose
    # vector and result list cannot both fit beside it.
    "largest ascii target, many lengths": """
target = largest(lambda size: "ab" * size, {limit} // 2)
outcomes = [attempt(lambda: compute("ba", target, range(0, len(target) + 1, 16)))]
del target
""",
    # A target of two-byte characters has a UTF-8 form twice its stored size, made on demand.
    "largest two-byte target": """
target = largest(lambda size: "\\u00e9" * size, {limit})
outcomes = [attempt(lambda: compute("\\u00e9", target, [0, 1, len(target)]))]
del target
""",
    # The list takes most of the limit; the call needs as much again for its lengths, then its
    # result list and a float per item.
    "largest length list": """
lengths = largest(lambda size: [1] * size, {limit} // 8)
outcomes = [attempt(lambda: compute("ab", "ab", lengths))]
del lengths
""",
    # __len__ reports far more items than memory holds: the reservation fails, iteration decides.
    "lying __len__": """
class Lying:
    def __init__(self, length):
        self.length = length
    def __len__(self):
        return self.length
    def __getitem__(self, index):
        return [2, 0, 1][index]
    def __iter__(self):
        return iter([2, 0, 1])

outcomes = [attempt(lambda: compute("ab", "ab", Lying(length))) for length in (2**40, 2**59)]
""",
    # range(2**40) really has that many items: the vector grows until the limit stops it.
    "huge range": """
outcomes = [attempt(lambda: compute("ab", "ab", range(2**40)))]
""",
}

ALLOWED = {"ok", "MemoryError", "PanicException"}


def run_scenario(body):
    code = CHILD.format(limit=LIMIT, body=body.format(limit=LIMIT), normal=NORMAL_CALL)
    process = run_python(code, timeout=300)
    assert process.returncode == 0, f"child ended with {process.returncode}:\n{process.stderr}"
    return json.loads(process.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("body", [
    # A length that no memory holds fails to reserve with or without the limit.
    pytest.param(body, id=name, marks=() if name == "lying __len__" else needs_limit)
    for name, body in SCENARIOS.items()
])
def test_exhausted_memory_raises_and_the_process_keeps_working(body):
    result = run_scenario(body)
    assert [outcome for outcome in result["outcomes"] if outcome[0] not in ALLOWED] == []
    assert result["after"] == model.similarities(*NORMAL_CALL)


def test_lying_length_still_converts_what_iteration_yields():
    result = run_scenario(SCENARIOS["lying __len__"])
    expected = ["ok", model.similarities("ab", "ab", [2, 0, 1])]
    assert result["outcomes"] == [expected, expected]


@needs_limit
def test_huge_range_cannot_succeed_but_ends_in_an_exception():
    # Its lengths lie far beyond a two-byte target, so success would be a fault.
    [outcome] = run_scenario(SCENARIOS["huge range"])["outcomes"]
    assert outcome[0] in {"MemoryError", "PanicException"}


# Fills the address space with ever smaller blocks (their slots made first, so that filling frees
# nothing) until not even two bytes fit, asks for the process's first panic, then frees it all and
# asks again. The outcome is kept without allocating until the memory is back.
FIRST_PANIC = """
import json, resource
resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
from corvane import compute_lcs_similarity as compute

def panicking_call():
    return compute("abc", "abd", (1, 7))

ballast = [None] * 4_000_000
count, size = 0, {limit}
while size >= 2:
    try:
        ballast[count] = bytes(size)
        count += 1
    except MemoryError:
        size //= 2
caught = None
try:
    panicking_call()
except BaseException as error:
    caught = error
del ballast
try:
    panicking_call()
except BaseException as error:
    print(json.dumps([type(caught).__name__, type(error).__name__, error.args]))
"""


@needs_limit
def test_first_panic_with_memory_exhausted_raises_and_the_next_one_has_its_message():
    process = run_python(FIRST_PANIC.format(limit=LIMIT), timeout=300)
    assert process.returncode == 0, f"child ended with {process.returncode}:\n{process.stderr}"
    first, again, args = json.loads(process.stdout.strip().splitlines()[-1])
    with pytest.raises(model.ModelFailure) as expected:
        model.similarities("abc", "abd", (1, 7))
    assert first in {"MemoryError", "PanicException"}
    assert (again, args) == ("PanicException", list(expected.value.args))
