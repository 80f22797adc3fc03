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

DIST = "zelkor"
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
    for package in ("zelkor", "zlkr"):
        spec = importlib.util.find_spec(package)
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
    run = mypy("mypy", "--strict", "python/zelkor", "python/zlkr", "examples", "bench", tmp_path=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_user_code_type_checks_against_the_installed_package(tmp_path: Path, checker: str) -> None:
    """What a user sees: the example, alone in a folder, checked strictly
    against the installed package (no settings of this repository)."""
    installed()
    pytest.importorskip(checker)
    sample = REPO / "examples" / "quickstart.py"
    if not sample.is_file():
        pytest.skip("needs the source tree")
    (tmp_path / "quickstart.py").write_bytes(sample.read_bytes())
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if checker == "mypy":
        command = ["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "quickstart.py"]
    else:
        (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict", "pythonVersion": "3.10"}')
        command = ["pyright", "--pythonpath", sys.executable, "quickstart.py"]
    run = subprocess.run(
        [sys.executable, "-m", *command], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_license_is_installed() -> None:
    dist = installed()
    assert dist.metadata["License-Expression"] == "MIT"
    licenses = [f for f in dist.files or [] if f.parent.name == "licenses"]
    assert "LICENSE" in {f.name for f in licenses}
    assert "The zelkor developers" in next(f for f in licenses if f.name == "LICENSE").read_text()


def libisal_mapped() -> set[Path]:
    """The files of ISA-L's shared library mapped into this process."""
    maps = Path("/proc/self/maps")
    if not maps.is_file():
        pytest.skip("needs /proc/self/maps")
    fields = (line.split(None, 5) for line in maps.read_text().splitlines())
    return {Path(f[5].strip()) for f in fields if len(f) == 6 and Path(f[5].strip()).name.startswith("libisal")}


def test_build_information_tells_the_truth() -> None:
    """zelkor/_build_info.py, written at build time, against the module in this process."""
    try:
        from zelkor import _build_info as info  # type: ignore[import-not-found]
    except ImportError:
        pytest.skip("no build information (testing a build directory)")
    module = Path(_zelkor.__file__).resolve()
    assert info.VERSION == _zelkor.__version__
    assert info.LIMITED_API is (".abi3." in module.name)
    assert info.PLATFORM_LAYER in {"posix", "posix-portable", "windows"}
    isal = libisal_mapped()
    carried = module.parent / "zelkor.libs"
    where = {
        ("zlib", None): not isal,
        ("builtin", None): not isal,
        ("isa-l", "static"): not isal,
        ("isa-l", "system"): bool(isal) and all(carried not in p.parents for p in isal),
        ("isa-l", "vendored"): bool(isal) and all(p.parent == carried for p in isal),
    }
    assert where.get((info.CRC_BACKEND, info.ISAL_LINKAGE)), (info.CRC_BACKEND, info.ISAL_LINKAGE, isal)


# --- the interpreter that `make test` and `make demo` pick ---------------------

FINDER = REPO / "tools" / "find_python.sh"


def interpreter(minor: int) -> Path:
    """A CPython 3.minor of this machine (pyenv's or the system's), else skip."""
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    for candidate in [*sorted(pyenv.glob(f"versions/3.{minor}.*/bin/python3.{minor}")), Path(f"/usr/bin/python3.{minor}")]:
        if not candidate.is_file():
            continue
        run = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[1])"], capture_output=True, text=True)
        if run.returncode == 0 and run.stdout.strip() == str(minor):
            return candidate
    pytest.skip(f"no CPython 3.{minor} on this machine")


@pytest.mark.parametrize(
    ("on_path", "in_pyenv", "asked", "chosen", "note"),
    [
        ((11, 13, 10), (), None, "path:10", None),
        ((11,), (), None, "path:11", "no CPython 3.10 found"),
        ((11, 13), (), None, "path:13", "no CPython 3.10 found"),
        ((9, 11), (), None, "path:11", "no CPython 3.10 found"),
        ((11, 13), (), "3.11", "path:11", None),
        ((11,), (), "3.13", None, "no CPython 3.13 found"),
        ((9,), (), None, None, "no CPython 3.10 or later found"),
        # A pyenv shim for a version that is not selected is on PATH but fails.
        (("shim10", 13), (10,), None, "pyenv:10", None),
    ],
)
def test_interpreter_choice(tmp_path: Path, on_path: tuple[object, ...], in_pyenv: tuple[int, ...], asked: str | None,
                            chosen: str | None, note: str | None) -> None:
    if not FINDER.is_file():
        pytest.skip("needs the source tree")
    bin_dir, pyenv = tmp_path / "bin", tmp_path / "pyenv"
    bin_dir.mkdir()
    made = {}
    for entry in on_path:
        if entry == "shim10":
            shim = bin_dir / "python3.10"
            shim.write_text("#!/bin/sh\necho 'pyenv: python3.10: command not found' >&2\nexit 127\n")
            shim.chmod(0o755)
            continue
        assert isinstance(entry, int)
        (bin_dir / f"python3.{entry}").symlink_to(interpreter(entry))
        made[f"path:{entry}"] = bin_dir / f"python3.{entry}"
    for minor in in_pyenv:
        place = pyenv / "versions" / f"3.{minor}.99" / "bin" / f"python3.{minor}"
        place.parent.mkdir(parents=True)
        place.symlink_to(interpreter(minor))
        made[f"pyenv:{minor}"] = place
    env = {"PATH": str(bin_dir), "PYENV_ROOT": str(pyenv), "FIND_PYTHON_SYSTEM_BIN": str(tmp_path / "none")}
    run = subprocess.run(["/bin/bash", FINDER, *([asked] if asked else [])], env=env, capture_output=True, text=True)
    if chosen is None:
        assert run.returncode != 0 and run.stdout == ""
    else:
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == str(made[chosen])
        assert run.stderr.startswith(f"using {made[chosen]} (3.{chosen.split(':')[1]}.")
    if note is None:
        assert ": " not in run.stderr
    else:
        assert note in run.stderr


def test_the_documented_examples_run() -> None:
    sample = REPO / "examples" / "quickstart.py"
    if not sample.is_file():
        pytest.skip("needs the source tree")
    run = subprocess.run([sys.executable, str(sample)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("['city:lyon', 'city:nice', 'city:paris']\n")
