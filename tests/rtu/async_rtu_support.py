"""Shared pieces of the AsyncMaster tests. The slaves (a pymodbus RTU slave over TCP and on a
pseudo-terminal pair) are fixtures of conftest.py; here a scripted serial server and the
outcome of a call as a comparable value."""

from __future__ import annotations

import socket
import threading
import time

from rtu_support import frame

WAIT = 5.0   # bound of every wait of the server side


def outcome(call):
    """What a call gives: ("value", result) or ("error", type, text)."""
    try:
        return ("value", call())
    except Exception as exc:   # compared as a whole below
        return ("error", type(exc), str(exc))


async def async_outcome(make):
    try:
        return ("value", await make())
    except Exception as exc:
        return ("error", type(exc), str(exc))


class ScriptedServer:
    """Reads each 8-byte request and sends the next answer of `answers`: bytes, or
    (delay, bytes) to send after a delay; None sends nothing. Records (time, request)."""

    def __init__(self, *answers, size=8):
        self.answers = list(answers)
        self.size = size
        self.requests = []
        self.errors = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT)
        self.url = f"rtu+tcp://127.0.0.1:{self.listener.getsockname()[1]}"
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            conn, _ = self.listener.accept()
            with conn:
                conn.settimeout(WAIT)
                for answer in self.answers:
                    request = conn.recv(self.size, socket.MSG_WAITALL)
                    if len(request) < self.size:
                        return
                    self.requests.append((time.monotonic(), request))
                    delay, data = answer if isinstance(answer, tuple) else (0, answer)
                    time.sleep(delay)
                    if data:
                        conn.sendall(data)
                conn.recv(1)   # the client's close
        except Exception as exc:   # reported by stop()
            self.errors.append(exc)

    def stop(self):
        self.thread.join(WAIT * 2)
        self.listener.close()
        assert not self.thread.is_alive(), "scripted server did not finish"
        assert not self.errors, self.errors


REGISTERS = frame("01 03 04 00 0A 00 0B")       # the answer to read_registers(1, 0, 2)
