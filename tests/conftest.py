# Shared fixtures for the Python tests: subprocess runs, the panic type, hypothesis settings.
import json
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings

import corvane

# Under qemu-user (the ARM64 runs on x86-64) every example costs some thirty times as much; the
# native runs already cover 300 of each, so the emulated run keeps the same properties at 100.
EMULATED = os.environ.get("CORVANE_QEMU_USER") == "1"
settings.register_profile("corvane", deadline=None, max_examples=100 if EMULATED else 300)
settings.load_profile("corvane")


def run_python(code, *, env=None, timeout=60):
    """Runs `code` in a fresh interpreter (the one running the tests) and returns the finished
    process with its standard output and standard error as text."""
    full_env = {key: value for key, value in os.environ.items() if key != "CORVANE_BACKTRACE"}
    full_env["PYTHONIOENCODING"] = "utf-8"
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        errors="replace",
        env=full_env,
        timeout=timeout,
    )


def run_python_json(code, *, env=None, timeout=60):
    """Runs `code`, which prints one JSON document as its last line of output, and returns the
    decoded document together with the finished process. Fails the test when the process does."""
    process = run_python(code, env=env, timeout=timeout)
    assert process.returncode == 0, process.stderr
    lines = process.stdout.strip().splitlines()
    assert lines, process.stderr
    return json.loads(lines[-1]), process


@pytest.fixture(scope="session")
def panic_type():
    """The exception type a native failure is raised as, taken from a real failure."""
    try:
        corvane.compute_lcs_similarity("abc", "", [1])
    except BaseException as error:  # noqa: BLE001 - the type is what is wanted
        return type(error)
    pytest.fail("a length beyond the target did not fail")


def outcome(call):
    """Runs `call` and describes what it did as a comparable value: ("ok", result) or
    ("raised", exception type, exception args)."""
    try:
        return ("ok", call())
    except BaseException as error:  # noqa: BLE001 - every outcome is recorded
        return ("raised", type(error), error.args)


# Under AddressSanitizer the shadow memory alone is far beyond any address-space limit, so a child
# with such a limit could not even load the module.
with open("/proc/self/maps") as _maps:
    UNDER_ASAN = "asan" in _maps.read()
