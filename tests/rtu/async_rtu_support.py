"""Shared pieces of the AsyncMaster tests. The slaves (a pymodbus RTU slave over TCP and on a
pseudo-terminal pair) are fixtures of conftest.py; here a scripted serial server, a
scripted pseudo-terminal and the outcome of a call as a comparable value."""

from __future__ import annotations

import os
import select
import socket
import threading
import time
import tty

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


class ScriptedPty:
    """A pseudo-terminal whose far end reads each request (`size` bytes) and writes the next
    (echo, answer) of `script` back: echo True repeats the request, bytes are sent as they are,
    None sends nothing; then the answer (bytes or None). Its device path is `path`."""

    def __init__(self, *script, size=8):
        self.script = list(script)
        self.size = size
        self.requests = []
        self.errors = []
        self.master_fd, self.slave_fd = os.openpty()
        tty.setraw(self.slave_fd)
        self.path = os.ttyname(self.slave_fd)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _read(self, size):
        data = b""
        deadline = time.monotonic() + WAIT
        while len(data) < size:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master_fd], [], [], left)[0]:
                raise TimeoutError(f"the request did not come: {data.hex(' ')}")
            data += os.read(self.master_fd, size - len(data))
        return data

    def _run(self):
        try:
            for echo, answer in self.script:
                request = self._read(self.size)
                self.requests.append(request)
                out = (request if echo is True else echo or b"") + (answer or b"")
                if out:
                    os.write(self.master_fd, out)
        except Exception as exc:   # reported by stop()
            self.errors.append(exc)

    def stop(self):
        self.thread.join(WAIT * 2)
        for fd in (self.master_fd, self.slave_fd):
            os.close(fd)
        assert not self.thread.is_alive(), "scripted pty did not finish"
        assert not self.errors, self.errors
