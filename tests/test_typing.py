"""The installed type information: type checkers see the module's signatures.

Each checker runs once, over one file holding the uses that must pass and
every misuse on a line of its own (in a function of its own), and the tests
read its findings by line."""

import json
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

USES = """
    import tarv
    from typing import Iterator

    def rows() -> Iterator[tuple[str, int]]:
        yield ("a", 1)

    text: str = tarv.stringify([["a", 1], ("b", None)])
    also: str = tarv.stringify(lists=rows())
    table: list[list[str]] = tarv.parse(text)
    again: list[list[str]] = tarv.parse(tarv=text)
    codec: str = tarv.UTF16_CODEC
    names: list[str] = tarv.__all__
"""

MISUSES = {
    "tarv.parse(b'01a;')": 'Argument 1 to "parse" has incompatible type "bytes"; expected "str"',
    "n: int = tarv.stringify([])": 'Incompatible types in assignment (expression has type "str"',
    "tarv.stringify(5)": 'Argument 1 to "stringify" has incompatible type "int"',
    "tarv.parse(text='x')": 'Unexpected keyword argument "text" for "parse"',
}


def write_uses(tmp_path):
    """The file, and the line (1-based) of each misuse."""
    lines = textwrap.dedent(USES).splitlines()
    misuse_lines = {}
    for k, misuse in enumerate(MISUSES):
        lines += ["", "", f"def misuse_{k}() -> None:", "    text = ''", "    " + misuse]
        misuse_lines[misuse] = len(lines)
    path = tmp_path / "use.py"
    path.write_text("\n".join(lines) + "\n")
    return path, misuse_lines


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """{line: [message, ...]} of mypy's errors."""
    mypy_api = pytest.importorskip("mypy.api")
    tmp_path = tmp_path_factory.mktemp("mypy")
    path, misuse_lines = write_uses(tmp_path)
    # Run from the temporary directory: the source tree must not be what
    # mypy finds, the installed package must.
    with pytest.MonkeyPatch.context() as mp:
        mp.chdir(tmp_path)
        stdout, stderr, _ = mypy_api.run(
            ["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(path)])
    errors = {}
    for m in re.finditer(r"^[^:\n]*use\.py:(\d+): error: (.*)$", stdout, re.M):
        errors.setdefault(int(m.group(1)), []).append(m.group(2))
    return errors, misuse_lines, stdout + stderr


def test_signatures_are_seen(mypy_errors):
    errors, misuse_lines, out = mypy_errors
    assert set(errors) == set(misuse_lines.values()), out


@pytest.mark.parametrize("line, error", MISUSES.items())
def test_misuse_is_reported(mypy_errors, line, error):
    errors, misuse_lines, out = mypy_errors
    assert any(error in message for message in errors.get(misuse_lines[line], [])), out


@pytest.fixture(scope="module")
def pyright_errors(tmp_path_factory):
    """pyright's diagnostics, and the line (1-based) of each misuse."""
    pytest.importorskip("pyright")
    if shutil.which("pyright") is None and not shutil.which("node"):
        pytest.skip("pyright is not available")
    tmp_path = tmp_path_factory.mktemp("pyright")
    path, misuse_lines = write_uses(tmp_path)
    proc = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, str(path)],
        capture_output=True, text=True, cwd=tmp_path)
    if proc.returncode not in (0, 1):
        pytest.skip("pyright did not run: " + (proc.stderr or proc.stdout)[-300:])
    return json.loads(proc.stdout)["generalDiagnostics"], misuse_lines


def test_pyright_sees_signatures(pyright_errors):
    # Nothing at all, warnings included, outside the misuses.
    found, misuse_lines = pyright_errors
    assert [d for d in found if d["range"]["start"]["line"] + 1 not in misuse_lines.values()] == []


@pytest.mark.parametrize("line", MISUSES)
def test_pyright_reports_misuse(pyright_errors, line):
    found, misuse_lines = pyright_errors
    assert misuse_lines[line] in {d["range"]["start"]["line"] + 1 for d in found
                                  if d["severity"] == "error"}, found
