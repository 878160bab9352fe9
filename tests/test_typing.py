"""The installed type information: type checkers see the module's signatures."""

import json
import shutil
import subprocess
import sys
import textwrap

import pytest

mypy_api = pytest.importorskip("mypy.api")

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


def check(tmp_path, source):
    path = tmp_path / "use.py"
    path.write_text(textwrap.dedent(source))
    # Run from the temporary directory: the source tree must not be what
    # mypy finds, the installed package must.
    stdout, stderr, status = mypy_api.run(
        ["--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(path)])
    return stdout + stderr, status


def test_signatures_are_seen(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    out, status = check(tmp_path, USES)
    assert status == 0, out


@pytest.mark.parametrize("line, error", MISUSES.items())
def test_misuse_is_reported(tmp_path, monkeypatch, line, error):
    monkeypatch.chdir(tmp_path)
    out, status = check(tmp_path, "import tarv\ntext = ''\n" + line + "\n")
    assert status == 1 and error in out, out


def pyright(tmp_path, source):
    """pyright's diagnostics for `source`, run against this interpreter."""
    if shutil.which("pyright") is None and not shutil.which("node"):
        pytest.skip("pyright is not available")
    path = tmp_path / "use.py"
    path.write_text(textwrap.dedent(source))
    proc = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, str(path)],
        capture_output=True, text=True, cwd=tmp_path)
    if proc.returncode not in (0, 1):
        pytest.skip("pyright did not run: " + (proc.stderr or proc.stdout)[-300:])
    return json.loads(proc.stdout)["generalDiagnostics"]


def test_pyright_sees_signatures(tmp_path):
    pytest.importorskip("pyright")
    assert pyright(tmp_path, USES) == []


@pytest.mark.parametrize("line", MISUSES)
def test_pyright_reports_misuse(tmp_path, line):
    pytest.importorskip("pyright")
    found = pyright(tmp_path, "import tarv\ntext = ''\n" + line + "\n")
    assert {d["range"]["start"]["line"] for d in found if d["severity"] == "error"} == {2}, found
