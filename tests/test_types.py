# The types as a checker finds them in the installed distribution.
import subprocess
import sys
import textwrap

GOOD = """
import corvane
values = corvane.compute_lcs_similarity("banana", "ananas", range(3))
reveal_type(values)
"""

BAD = """
import corvane
corvane.compute_lcs_similarity(1, "ananas", [0])
corvane.compute_lcs_similarity("banana", "ananas", {1, 2})
"""


def test_mypy_finds_the_installed_stubs_and_rejects_wrong_argument_types(tmp_path):
    for name, code in (("good.py", GOOD), ("bad.py", BAD)):
        (tmp_path / name).write_text(textwrap.dedent(code))
    checked = {}
    for name in ("good.py", "bad.py"):
        process = subprocess.run(
            # mypy itself runs on the environment's python3 and reads the installed packages of
            # the interpreter under test.
            ["python3", "-m", "mypy", "--strict", "--python-executable", sys.executable,
             "--cache-dir", str(tmp_path / "cache"), name],
            cwd=tmp_path,
            capture_output=True,
            text=True,
        )
        checked[name] = (process.returncode, process.stdout.splitlines()[:-1])
    assert checked["good.py"] == (
        0,
        ['good.py:4: note: Revealed type is "list[float]"'],
    )
    returncode, lines = checked["bad.py"]
    assert returncode == 1
    assert [line.split(": ")[0] for line in lines] == ["bad.py:3", "bad.py:4"]
    assert all(line.endswith("[arg-type]") for line in lines), lines
