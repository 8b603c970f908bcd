"""Checks the sdist from a clean unpack: its files (no fuzz corpus, no bench outputs, all that
a build and the tests need), then a build and install into a fresh venv of the given
interpreter and a quick subset of the tests run from the unpacked tree.
Usage: check_sdist.py SDIST PYTHON. Prints what it did; exits non-zero on the first failure."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path
from typing import NoReturn

# What a build from the sdist and its tests need, below the sdist's top folder.
REQUIRED = ["pyproject.toml", "CMakeLists.txt", "LICENSE", "PKG-INFO", "README.md", "docs/pypi.md",
            "stubs/brel_modbus.pyi", "src/module/module.cpp", "python/brel_linkkit/__init__.py",
            "python/brel_modbus_tool/start.py", "tests/conftest.py", "tests/requirements.txt",
            "examples/simulator.py", "fuzz/fuzz_rtu.py"]
# Left out: the fuzz corpus (only the fuzzers replay it) and anything built.
LEFT_OUT = ("fuzz/corpus/", "bench/build/", "build/", "dist/", ".venv", ".git/")
QUICK_TESTS = ["tests/test_module.py", "tests/test_protocol.py"]


def fail(message: str) -> NoReturn:
    print(f"check_sdist: {message}", file=sys.stderr)
    raise SystemExit(1)


def run(*command: str | Path, cwd: Path | None = None) -> None:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if subprocess.run([str(c) for c in command], cwd=cwd, env=env).returncode != 0:
        fail(f"failed: {' '.join(map(str, command))}")


def check_files(path: Path) -> str:
    with tarfile.open(path) as sdist:
        names = sdist.getnames()
    top = names[0].split("/")[0]
    inside = [n[len(top) + 1:] for n in names if n.startswith(top + "/")]
    if len(inside) != len(names) - (top in names):
        fail(f"not every file is below {top}/")
    for name in REQUIRED:
        if name not in inside:
            fail(f"{name} is missing")
    if unwanted := [n for n in inside if n.startswith(LEFT_OUT) or "__pycache__" in n]:
        fail(f"{len(unwanted)} files that should be left out, such as {unwanted[0]}")
    print(f"sdist {path.name}: {len(inside)} entries, {path.stat().st_size // 1024} KB, "
          f"without {', '.join(LEFT_OUT)}")
    return top


def main(path: Path, python: str) -> None:
    top = check_files(path)
    with tempfile.TemporaryDirectory(prefix="brel-sdist-") as folder:
        where = Path(folder)
        with tarfile.open(path) as sdist:
            sdist.extractall(where, filter="data")
        tree, venv = where / top, where / "venv"
        run(python, "-m", "venv", venv)
        pip: list[str | Path] = [venv / "bin" / "python", "-m", "pip", "install", "-q"]
        run(*pip, "--upgrade", "pip")
        start = time.monotonic()
        run(*pip, tree)
        print(f"built and installed from the unpacked sdist in {time.monotonic() - start:.0f} s")
        pytest_pin = re.search(r"^pytest==[\d.]+", (tree / "tests/requirements.txt").read_text(), re.M)
        if not pytest_pin:
            fail("tests/requirements.txt pins no pytest")
        run(*pip, pytest_pin[0])
        run(venv / "bin" / "python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *QUICK_TESTS, cwd=tree)
    print("sdist check passed")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        fail("usage: check_sdist.py SDIST PYTHON")
    main(Path(sys.argv[1]), sys.argv[2])
