"""What the installed distribution holds: version, stubs, entry point, typing."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import _zelkor

DIST = "zelkor-native"
REPO = Path(__file__).resolve().parent.parent


def installed() -> importlib.metadata.Distribution:
    try:
        return importlib.metadata.distribution(DIST)
    except importlib.metadata.PackageNotFoundError:
        pytest.skip(f"{DIST} is not installed (testing a build directory)")


def test_version_metadata_is_the_modules() -> None:
    assert installed().version == _zelkor.__version__


def test_entry_point_and_dependencies() -> None:
    dist = installed()
    (script,) = [ep for ep in dist.entry_points if ep.group == "console_scripts"]
    assert (script.name, script.value) == ("zlkr", "zlkr.cli:main")
    assert any(req.startswith("msgpack") and "extra" not in req for req in dist.requires or [])


def test_typing_files_are_installed() -> None:
    installed()
    module_dir = Path(_zelkor.__file__).parent
    stub = module_dir / "_zelkor.pyi"
    assert stub.is_file()
    assert (module_dir / "_zelkor-stubs" / "__init__.pyi").read_bytes() == stub.read_bytes()
    spec = importlib.util.find_spec("zlkr")
    assert spec is not None and spec.origin is not None
    assert (Path(spec.origin).parent / "py.typed").is_file()
    if (REPO / "python" / "_zelkor.pyi").is_file():
        assert stub.read_bytes() == (REPO / "python" / "_zelkor.pyi").read_bytes()


def mypy(*args: str, tmp_path: Path) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    if (REPO / "python").is_dir():
        env["MYPYPATH"] = str(REPO / "python")
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=REPO,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_stub_matches_the_module(tmp_path: Path) -> None:
    """Names, parameters (kinds, defaults) and classes as the module has them."""
    run = mypy("mypy.stubtest", "_zelkor", tmp_path=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


def test_tool_examples_and_benchmarks_pass_strict_type_checks(tmp_path: Path) -> None:
    if not (REPO / "python" / "zlkr").is_dir():
        pytest.skip("needs the source tree")
    run = mypy("mypy", "--strict", "python/zlkr", "examples", "bench", tmp_path=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
