"""The Modbus TCP exchange of src/modbus/tcp_exchange.hpp, plain C++ without the interpreter:
tests/core/exchange_test.cpp built with the system compiler (with AddressSanitizer and
UndefinedBehaviorSanitizer) and run once per case."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "core" / "exchange_test.cpp"
CASES = ["whole_answer", "answer_wanted_in_two_steps", "late_answer_skipped", "late_refusal_skipped",
         "duplicate_of_answered_skipped", "strangers_mismatch", "length_mismatch", "refused", "code_mismatch",
         "trailing_bytes", "recent_ring_keeps_sixteen", "judge_compares"]


@pytest.fixture(scope="module")
def exchange_test(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    binary = tmp_path_factory.mktemp("core") / "exchange_test"
    proc = subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
                           "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
                           f"-I{ROOT / 'src'}", str(SOURCE), "-o", str(binary)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return binary


def run(binary, *args):
    # The binary carries its own sanitizer runtime: a preloaded one (make sanitize) stays out.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["ASAN_OPTIONS"] = "detect_leaks=1:abort_on_error=0"
    return subprocess.run([str(binary), *args], capture_output=True, text=True, timeout=60, env=env)


def test_every_case_is_run(exchange_test):
    assert run(exchange_test, "--list").stdout.split() == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_exchange(exchange_test, case):
    proc = run(exchange_test, case)
    assert proc.returncode == 0, proc.stderr
