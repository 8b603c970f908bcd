"""The demo (`make demo`) runs to its end and shows what it claims, part by part."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.fixture(scope="module", params=[[], ["--traffic"]], ids=["story", "traffic"])
def run(request):
    done = subprocess.run([sys.executable, str(DEMO), *request.param], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return request.param, done.stdout


def test_every_part_ran(run):
    _, out = run
    titles = re.findall(r"^== (\d)\. ", out, flags=re.M)
    assert titles == [str(n) for n in range(1, 1 + len(titles))] and len(titles) >= 5
    assert out.rstrip().endswith("all parts done; slaves stopped")


def test_the_claims(run):
    _, out = run
    assert re.search(r"19200 baud, 8N1, station 1", out)
    assert re.search(r"voltage L1-N\s+230\.5 V", out) and re.search(r"active energy\s+1234567890 Wh", out)
    assert "SN-00042" in out
    assert "register 300 holds the low word 0x8000, register 301 the high word 0x4366" in out
    assert "refused with exception code 2, illegal data address" in out
    assert "(<) answer   01 83 02 C0 F1" in out                      # the refusal on the wire
    assert "(<) answer   01 06 01 40 12 34 84 95" in out              # the echo of the write
    assert "TCP read_register(320) = 0x1234" in out
    assert "read_coil(1, 30) afterwards = True" in out
    assert "3 requests for 7 points on 2 stations" in out
    assert "(2, 'holding', 2, 24, ['flow', 'level', 'counter'])" in out      # merged across the hole
    assert "keeps the split: 4 requests from now on" in out
    assert "(2, 'holding', 25, 1, ['counter'])" in out                        # the learned split
    assert re.search(r"flow 502, level 508, counter 525", out)
    assert "station 2: 3 requests, 2 answers, 1 refused" in out
    assert re.search(r"300\s+f\s+8000 4366\s+230\.5", out)                  # the tool's table
    assert "stations that answer: 2 of 3" in out
    assert "exception 2 (illegal data address)" in out and "(exit status 1)" in out


def test_traffic_only_when_asked(run):
    args, out = run
    requests = out.count("(>) request")
    assert requests > 2 if args else requests == 2       # without --traffic: the refusal and the echo only
