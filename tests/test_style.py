"""The code follows the project's formats: ruff for Python, clang-format for C++."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_python_passes_ruff():
    proc = subprocess.run([sys.executable, "-m", "ruff", "check", "."], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_cpp_follows_clang_format():
    files = sorted(str(p.relative_to(ROOT)) for pattern in ("src/**/*.cpp", "src/**/*.hpp", "fuzz/*.cpp")
                   for p in ROOT.glob(pattern))
    assert files
    tool = Path(sys.executable).with_name("clang-format")
    proc = subprocess.run([str(tool), "--dry-run", "--Werror", *files], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
