"""The Modbus TCP exchange of src/modbus/tcp_exchange.hpp, the Modbus RTU exchange of
src/modbus/rtu_exchange.hpp, the order of the calls on an RTU line of src/modbus/rtu_queue.hpp
the poller's planning of src/modbus/plan.hpp and its walk of a pass of
src/modbus/poller_learning.hpp, plain C++ without the interpreter: tests/core/exchange_test.cpp,
tests/core/rtu_exchange_test.cpp, tests/core/rtu_queue_test.cpp, tests/core/plan_test.cpp and
tests/core/poller_learning_test.cpp built with the system compiler (with AddressSanitizer and
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
         "trailing_bytes", "recent_ring_keeps_sixteen", "judge_compares", "byte_buffer_keeps_every_byte",
         "byte_buffer_drops_its_front"]

RTU_CASES = ["whole_answer_byte_by_byte", "byte_count_tells_the_length", "expected_size_waits_past_a_short_count",
             "refused", "refusal_judged_by_crc_then_request", "crc_error_before_mismatch", "wrong_station_or_code",
             "echo_rule_compares_the_fields", "judge_of_whole_frames", "trailing_bytes_stay",
             "size_rules_of_other_codes", "no_answer_expected", "open_length_is_what_came",
             "begin_forgets_the_last_answer",
             "silent_interval_after_the_last_byte", "recovery_waits_for_a_quiet_line",
             "recovery_is_given_up_after_its_bound", "no_recovery_without_a_delay", "hold_after_a_broadcast"]

RTU_QUEUE_CASES = ["writes_go_before_waiting_reads", "one_call_on_the_line_at_a_time",
                   "answer_in_pieces_then_the_silent_interval", "refusal_carries_its_code",
                   "cancelled_waiting_call_is_never_sent", "abandoned_answer_is_dropped_before_the_next_call",
                   "abandoned_call_ends_at_its_deadline", "faults_make_the_line_recover", "short_answer_times_out",
                   "broadcast_is_done_once_sent", "stray_bytes_are_heard_and_dropped", "unsent_call_is_dropped",
                   "lost_line_ends_the_call_on_it", "open_answer_is_judged_when_the_line_is_quiet",
                   "open_answer_outcomes", "echo_is_read_before_the_answer"]

PLAN_CASES = ["every_limit_is_found_by_halving", "a_refusal_of_a_size_read_before_is_not_a_limit",
              "an_answer_beyond_the_refused_size_leaves_the_bound", "a_kept_bound_is_clamped",
              "plans_keep_within_the_bound", "a_point_wider_than_the_bound_is_planned_alone",
              "covers_tells_a_gap_between_parts", "the_gap_is_the_fixed_cost_over_the_cost_per_register",
              "the_costs_follow_the_last_reads", "a_gap_moves_only_beyond_noise",
              "one_hole_is_found_within_log2_of_the_span", "several_holes_cost_log2_each",
              "one_hole_in_2000_bits_is_found_within_log2_of_the_span"]

LEARNING_CASES = ["a_hole_is_cut_out_within_the_pass", "a_block_limit_is_learned_and_no_point_lost",
                  "a_failure_is_never_split_and_a_dead_unit_is_tried_once_per_backoff",
                  "a_gateway_that_cannot_reach_the_unit_counts_as_a_failure", "an_abandoned_request_is_not_counted",
                  "a_failure_ends_only_its_own_stations_pass", "a_transient_failure_does_not_mark_a_unit_down"]


def build(tmp_path_factory, source):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    binary = tmp_path_factory.mktemp("core") / source.stem
    proc = subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror",
                           "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
                           f"-I{ROOT / 'src'}", str(source), "-o", str(binary)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return binary


@pytest.fixture(scope="module")
def exchange_test(tmp_path_factory):
    return build(tmp_path_factory, SOURCE)


@pytest.fixture(scope="module")
def rtu_exchange_test(tmp_path_factory):
    return build(tmp_path_factory, ROOT / "tests" / "core" / "rtu_exchange_test.cpp")


@pytest.fixture(scope="module")
def rtu_queue_test(tmp_path_factory):
    return build(tmp_path_factory, ROOT / "tests" / "core" / "rtu_queue_test.cpp")


@pytest.fixture(scope="module")
def plan_test(tmp_path_factory):
    return build(tmp_path_factory, ROOT / "tests" / "core" / "plan_test.cpp")


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


def test_every_rtu_case_is_run(rtu_exchange_test):
    assert run(rtu_exchange_test, "--list").stdout.split() == sorted(RTU_CASES)


@pytest.mark.parametrize("case", RTU_CASES)
def test_rtu_exchange(rtu_exchange_test, case):
    proc = run(rtu_exchange_test, case)
    assert proc.returncode == 0, proc.stderr


def test_every_rtu_queue_case_is_run(rtu_queue_test):
    assert run(rtu_queue_test, "--list").stdout.split() == sorted(RTU_QUEUE_CASES)


@pytest.mark.parametrize("case", RTU_QUEUE_CASES)
def test_rtu_queue(rtu_queue_test, case):
    proc = run(rtu_queue_test, case)
    assert proc.returncode == 0, proc.stderr


def test_every_plan_case_is_run(plan_test):
    assert run(plan_test, "--list").stdout.split() == sorted(PLAN_CASES)


@pytest.mark.parametrize("case", PLAN_CASES)
def test_plan(plan_test, case):
    proc = run(plan_test, case)
    assert proc.returncode == 0, proc.stderr


@pytest.fixture(scope="module")
def learning_test(tmp_path_factory):
    return build(tmp_path_factory, ROOT / "tests" / "core" / "poller_learning_test.cpp")


def test_every_learning_case_is_run(learning_test):
    assert run(learning_test, "--list").stdout.split() == sorted(LEARNING_CASES)


@pytest.mark.parametrize("case", LEARNING_CASES)
def test_poller_learning(learning_test, case):
    proc = run(learning_test, case)
    assert proc.returncode == 0, proc.stderr
