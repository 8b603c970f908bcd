"""With assertions off (python -O when the module is imported) every answer is still checked."""

import json
import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent(r"""
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import brel_modbus
    from tcp_support import ScriptedSocket, mbap

    H = bytes.fromhex
    out = {"debug": __debug__}
    sockets = []

    def fake_connect(address, timeout=None):
        sockets.append(ScriptedSocket(timeout))
        return sockets[-1]

    brel_modbus._tcp_connect = fake_connect

    def run(name, method, args, *answers):
        master = brel_modbus.ModbusTCPMaster("plc", 502, 1)
        sockets[-1].queue(*answers)
        try:
            value = getattr(master, method)(*args)
            out[name] = value.hex() if isinstance(value, bytes) else value
        except Exception as exc:
            out[name] = [type(exc).__name__, str(exc)]

    query = "_ModbusTCPMaster__query"
    run("exception answer", query, (H("1000010001"), 4), mbap(1, H("9002")))
    run("exception to a read", "read_registers", (0, 1), mbap(1, H("8302")))
    run("byte count ignored", "read_registers", (0, 1), mbap(1, H("030403E80001")))
    run("short registers", "read_registers", (0, 3), mbap(1, H("03060001")))
    run("coils decoded as sent", "read_coils", (0, 12), mbap(1, H("0101FF")))
    run("register echo ignored", "write_registers", (7, [1, 2]), mbap(1, H("1000000000")))
    run("coil echo ignored", "write_coil", (7, True), mbap(1, H("0500000000")))
    run("short echo", "write_coil", (7, True), mbap(1, H("050007")))
    run("short echo, other address", "write_coil", (7, True), mbap(1, H("0500080000")[:-2], length=4))
    run("header still checked", query, (H("0300000001"),), mbap(9, H("0302AABB")))
    run("closed still checked", query, (H("0300000001"),), b"")
    print(json.dumps(out))
""")


def test_checks_run_under_optimisation():
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-O", "-c", SCRIPT, here], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    peer = str(("plc", 502))
    refusal = "modbus slave reports an exception. station: 1, function code: %d, error code: 2"
    length = ["MismatchError", "Data length not match with needed"]   # a MismatchError is an AssertionError
    assert out == {
        "debug": False,
        "exception answer": ["TCPSlaveException", refusal % 16],
        "exception to a read": ["TCPSlaveException", refusal % 3],
        "byte count ignored": length,
        "short registers": length,
        "coils decoded as sent": length,
        "register echo ignored": ["MismatchError", f"Write registers to {peer} failed."],
        "coil echo ignored": ["MismatchError", f"Write coil address [7] to {peer} failed."],
        "short echo": length,
        "short echo, other address": length,
        "header still checked": ["MismatchError", "Received data header invalid from " + peer],
        "closed still checked": ["ConnectionClosedError", "Connection closed by " + peer],
    }
