"""The code follows the project's formats: ruff for Python, clang-format for C++."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_python_passes_ruff():
    proc = subprocess.run([sys.executable, "-m", "ruff", "check", "."], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
