"""brel-modbus poll --points with --learned (what the poller learned, kept in a JSON file from
one run to the next) and --explain, against the simulated slaves."""

from __future__ import annotations

import json

import pytest

import brel_modbus
from brel_modbus_tool import cli
from simulator import SPARSE_HOLDING, SPARSE_STATION, SimulatedSlaves

pytestmark = pytest.mark.skipif(not hasattr(brel_modbus, "Poller"), reason="this build has no Poller")


@pytest.fixture(scope="module")
def slaves():
    with SimulatedSlaves() as running:
        yield running


def poll(slaves, capsys, *options):
    code = cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--rounds", "1", "--output", "json", *options])
    out, err = capsys.readouterr()
    return code, [json.loads(line) for line in out.splitlines()], err


def points_file(tmp_path):
    # registers 10..19 of the sparse station do not exist: a read of 9..20 is refused once
    points = tmp_path / "points.csv"
    points.write_text(f"name,station,table,address\na,{SPARSE_STATION},holding,9\nb,{SPARSE_STATION},holding,20\n")
    return points


def test_what_was_learned_is_kept_and_the_next_run_starts_from_it(slaves, tmp_path, capsys):
    points, learned = points_file(tmp_path), tmp_path / "learned.json"
    code, lines, err = poll(slaves, capsys, "--points", str(points), "--learned", str(learned))
    assert code == 0, err
    values = {row["name"]: row["value"] for row in lines[0]["values"]}
    assert values == {"a": SPARSE_HOLDING[9], "b": SPARSE_HOLDING[20]}
    assert lines[-1]["statistics"][f"station {SPARSE_STATION} slave_exceptions"] == 1
    kept = json.loads(learned.read_text())
    assert kept[str(SPARSE_STATION)]["holding"]["cuts"] == [20]

    code, lines, err = poll(slaves, capsys, "--points", str(points), "--learned", str(learned), "--explain")
    assert code == 0, err
    statistics = lines[-1]["statistics"]
    assert statistics[f"station {SPARSE_STATION} slave_exceptions"] == 0
    assert statistics[f"station {SPARSE_STATION} requests"] == 2
    assert "station 2 last_success" not in statistics and statistics["station 2 state"] == "up"
    plan = lines[1]
    assert plan["learned"] == kept
    assert [(row["address"], row["count"], row["points"], row["why"]) for row in plan["plan"]] == [
        (9, 1, "a", "merged by the gap"), (20, 1, "b", "a refused read found a hole before 20")]
    assert json.loads(learned.read_text()) == kept


def test_explain_in_a_table(slaves, tmp_path, capsys):
    code = cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--rounds", "1", "--points",
                     str(points_file(tmp_path)), "--explain"])
    out, err = capsys.readouterr()
    assert code == 0, err
    assert "plan, as learned" in out and "a refused read found a hole before 20" in out


@pytest.mark.parametrize("text, says", [
    ("{", "--learned {path}: not JSON: "),
    ("[1]", "--learned {path}: a JSON object is expected, not list"),
    ('{"2": {"holding": {"cuts": [0]}}}', "--learned: Poller: learned['2']['holding'] cuts must be an int from 1"),
])
def test_a_learned_file_that_cannot_be_used_exits_2(slaves, tmp_path, capsys, text, says):
    learned = tmp_path / "learned.json"
    learned.write_text(text)
    with pytest.raises(SystemExit) as exited:
        cli.main(["poll", f"tcp://127.0.0.1:{slaves.tcp_port}", "--rounds", "1", "--points",
                  str(points_file(tmp_path)), "--learned", str(learned)])
    assert exited.value.code == 2
    assert says.format(path=learned) in capsys.readouterr().err
    assert learned.read_text() == text


@pytest.mark.parametrize("option", [["--learned", "x.json"], ["--explain"]])
def test_learned_and_explain_go_with_points(capsys, option):
    with pytest.raises(SystemExit) as exited:
        cli.main(["poll", "tcp://127.0.0.1:9", *option])
    assert exited.value.code == 2
    assert f"{option[0]} goes with --points" in capsys.readouterr().err
