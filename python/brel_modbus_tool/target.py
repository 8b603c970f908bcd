"""The command's TARGET and the master it opens.

Modbus TCP (port 502 unless told): ``tcp://host[:port]``, or a bare host name or IP address
with or without ``:port`` (``localhost``, ``127.0.0.1:1502``, ``[::1]:502``) that is not an
existing path. Modbus/TCP Security: ``tls://host[:port]`` (port 802 unless told), with the
certificates of TlsSettings. Modbus over UDP: ``udp://host[:port]`` (port 502). Modbus RTU
(or ASCII, with the line's framing): a device path (``/dev/ttyUSB0``), a COM name, a pyserial
URL (``socket://host:port`` for a TCP serial server, ``rfc2217://``, ``loop://``), or
``rtu+tcp://host:port`` (a TCP serial server through the library's own channel). A name that
is both a host and an existing file (``./localhost``) is the file: the path wins, and
``tcp://name`` says the host.
"""

from __future__ import annotations

import errno
import ipaddress
import os
import re
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlsplit

import brel_modbus

from brel_modbus_tool.codec import ArgumentProblem

TCP_PORT = 502
TLS_PORT = 802
# The schemes of the targets that take the Modbus TCP master's calls, with their default ports.
NETWORK_SCHEMES = {"tcp": TCP_PORT, "tls": TLS_PORT, "udp": TCP_PORT}
_SCHEME_TITLES = {"tcp": "Modbus TCP", "tls": "Modbus/TCP Security", "udp": "Modbus UDP"}
_HOST_PORT = re.compile(r"^[\w.-]+:\d+$")
_LABEL = re.compile(r"^(?!-)[A-Za-z0-9-]{1,63}(?<!-)$")
_COM_PORT = re.compile(r"^COM\d+$", re.IGNORECASE)
_BRACKETED = re.compile(r"^\[([^\]]+)\](?::(\d*))?$")


def _is_ip(text: str) -> bool:
    try:
        ipaddress.ip_address(text)
    except ValueError:
        return False
    return True


def _is_host_name(text: str) -> bool:
    """A host name as DNS writes it: dot-separated labels of letters, digits and inner hyphens,
    the last one not all digits (``1.2.3`` is a broken address, not a name)."""
    labels = text[:-1].split(".") if text.endswith(".") else text.split(".")
    return (len(text) <= 253 and all(_LABEL.match(label) for label in labels)
            and not labels[-1].isdigit())


def _port(text: str, port: str) -> int:
    if not port.isdigit() or not 0 < int(port) <= 0xFFFF:
        raise ArgumentProblem(f"bad Modbus TCP target {text!r}: the port must be from 1 to 65535")
    return int(port)


def _network_target(text: str, scheme: str) -> Target:
    """``scheme://host[:port]`` for one of NETWORK_SCHEMES."""
    title = _SCHEME_TITLES[scheme]
    try:
        parts = urlsplit(text)
        port = parts.port
    except ValueError as exc:
        raise ArgumentProblem(f"bad {title} target {text!r}: {exc}") from None
    if not parts.hostname or parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ArgumentProblem(f"bad {title} target {text!r}: write {scheme}://host or {scheme}://host:port")
    if port == 0:
        raise ArgumentProblem(f"bad {title} target {text!r}: port 0")
    return Target(True, parts.hostname, NETWORK_SCHEMES[scheme] if port is None else port, scheme)


def bare_host(text: str) -> Target | None:
    """The Modbus TCP target that a bare ``host``, ``host:port``, ``[ipv6]`` or ``[ipv6]:port``
    names; None when ``text`` is not written as one (a COM name is a serial port)."""
    bracketed = _BRACKETED.match(text)
    if bracketed:
        host, port = bracketed.groups()
        if not _is_ip(host) or ":" not in host:
            return None
        return Target(True, host, TCP_PORT if port is None else _port(text, port))
    if _is_ip(text):                       # 127.0.0.1, ::1 (an IPv6 address takes a port only in brackets)
        return Target(True, text, TCP_PORT)
    host, colon, port = text.rpartition(":") if text.count(":") == 1 else (text, "", "")
    if _COM_PORT.match(host) or not (_is_ip(host) and "." in host or _is_host_name(host)):
        return None
    return Target(True, host, _port(text, port) if colon else TCP_PORT)


@dataclass(frozen=True)
class Target:
    """Where the command talks to: a Modbus TCP host and port, or a serial port (path or URL)."""

    tcp: bool          # the Modbus TCP master's calls (tcp://, tls://, udp://)
    name: str          # the host for TCP, the serial port otherwise
    port: int = 0      # the TCP (or UDP) port
    scheme: str = "tcp"   # of a TCP target: "tcp", "tls" or "udp"

    def __str__(self) -> str:
        if not self.tcp:
            return self.name
        host = f"[{self.name}]" if ":" in self.name else self.name
        return f"{self.scheme}://{host}:{self.port}"


def parse_target(text: str) -> Target:
    """The target named by ``text``; ArgumentProblem when it cannot name one."""
    if not text.strip():
        raise ArgumentProblem("the target is empty")
    scheme = text.partition("://")[0].lower() if "://" in text else ""
    if scheme in NETWORK_SCHEMES:
        return _network_target(text, scheme)
    if "://" in text or os.path.exists(text):
        return Target(False, text)
    host = bare_host(text)
    if host is not None:
        return host
    if _HOST_PORT.match(text):
        raise ArgumentProblem(f"{text!r} is neither a serial port, a URL nor a host: write tcp://host:port for "
                              f"Modbus TCP, or socket://host:port for RTU through a TCP serial server")
    return Target(False, text)


@dataclass
class LineSettings:
    """The serial line of an RTU target (pyserial's settings and brel_linkkit's line options)."""

    baudrate: int = 19200
    parity: str = "E"
    stopbits: float = 1
    bytesize: int = 8
    echo: bool = False
    rs485: bool = False
    low_latency: bool = False
    broadcast_delay: float | None = None
    framing: str = "rtu"   # or "ascii": the master's, not the channel's

    def shape(self) -> str:
        """The character format as people write it: 8E1, 8N2."""
        return f"{self.bytesize}{self.parity}{self.stopbits:g}"

    def keywords(self) -> dict[str, Any]:
        """The keywords that Master hands on to the serial channel."""
        stopbits: float = int(self.stopbits) if self.stopbits in (1, 2) else self.stopbits
        kwargs: dict[str, Any] = {"parity": self.parity, "stopbits": stopbits, "bytesize": self.bytesize}
        if self.echo:
            kwargs["echo"] = True
        if self.rs485:
            kwargs["rs485"] = True
        if self.low_latency:
            kwargs["low_latency"] = True
        if self.broadcast_delay is not None:
            kwargs["broadcast_delay"] = self.broadcast_delay
        if self.framing != "rtu":
            kwargs["framing"] = self.framing
        return kwargs


@dataclass
class TlsSettings:
    """The certificates of a tls:// target (brel_modbus.tls_context's arguments)."""

    cafile: str | None = None
    certfile: str | None = None
    keyfile: str | None = None
    insecure: bool = False   # check neither the server's certificate nor its name

    def context(self) -> Any:
        return brel_modbus.tls_context(self.cafile, self.certfile, self.keyfile, not self.insecure)


def describe(exc: BaseException) -> str:
    """An error in one line: its text, or its type when it has none; (errno, text) pairs as text."""
    args = exc.args
    if not isinstance(exc, OSError) and len(args) == 2 and isinstance(args[0], int) and isinstance(args[1], str):
        text = f"[Errno {args[0]}] {args[1]}"   # termios.error
    else:
        text = str(exc) or type(exc).__name__
    return " ".join(text.split())


class OpenFailure(Exception):
    """The target could not be opened (exit status 1)."""


class Link:
    """One open master, called with the station first whatever its road."""

    def __init__(self, target: Target, master: Any) -> None:
        self.target = target
        self.master = master

    @property
    def broadcasts(self) -> bool:
        """Whether station 0 is a broadcast that gets no answer (Modbus RTU)."""
        return not self.target.tcp

    def _at(self, station: int) -> Any:
        if self.target.tcp:
            self.master.station = station
        return self.master

    def read_registers(self, station: int, table: str, address: int, count: int) -> list[int]:
        master = self._at(station)
        args = (address, count) if self.target.tcp else (station, address, count)
        if table == "input":
            return list(master.read_input_registers(*args))
        return list(master.read_registers(*args))

    def read_bits(self, station: int, table: str, address: int, count: int) -> list[bool]:
        master = self._at(station)
        args = (address, count) if self.target.tcp else (station, address, count)
        if table == "discrete":
            return list(master.read_input_coils(*args))
        return list(master.read_coils(*args))

    def read(self, station: int, table: str, address: int, count: int) -> list[int] | list[bool]:
        if table in ("coil", "discrete"):
            return self.read_bits(station, table, address, count)
        return self.read_registers(station, table, address, count)

    def read_values(self, station: int, table: str, address: int, format: str, order: str,
                    registers: int) -> tuple[list[Any], list[int] | None]:
        """Typed values read with the master's ``read_values``, and the ``registers`` raw
        registers they came from, taken from the answer in the traffic record (None when the
        record does not hold them)."""
        master = self._at(station)
        code = 4 if table == "input" else 3
        if self.target.tcp:
            values = master.read_values(address, format, order, code)
        else:
            values = master.read_values(station, address, format, order, code)
        return list(values), self._answered_registers(registers)

    def _answered_registers(self, count: int) -> list[int] | None:
        # A read's answer ends with its byte count and data: then the CRC on RTU, nothing on TCP.
        answer = bytes(self.master.last_feedback_received)
        size = 2 * count
        end = len(answer) if self.target.tcp else len(answer) - 2
        start = end - size
        if start < 1 or answer[start - 1] != size:
            return None
        return [int.from_bytes(answer[i:i + 2], "big") for i in range(start, end, 2)]

    def write_registers(self, station: int, address: int, values: list[int]) -> None:
        """One register with function code 6, several with 16."""
        master = self._at(station)
        if self.target.tcp:
            if len(values) == 1:
                master.write_single_register(address, values[0])
            else:
                master.write_registers(address, values)
        elif len(values) == 1:
            master.write_register(station, address, values[0])
        else:
            master.write_registers(station, address, values)

    def write_values(self, station: int, address: int, format: str, values: list[Any], order: str) -> None:
        master = self._at(station)
        if self.target.tcp:
            master.write_values(address, format, values, order)
        else:
            master.write_values(station, address, format, values, order)

    def write_bits(self, station: int, address: int, values: list[bool]) -> None:
        """One coil with function code 5, several with 15."""
        master = self._at(station)
        args: tuple[Any, ...] = (address,) if self.target.tcp else (station, address)
        if len(values) == 1:
            master.write_coil(*args, values[0])
        else:
            master.write_coils(*args, values)

    def identification(self, station: int, read_code: int) -> dict[int, bytes]:
        master = self._at(station)
        if self.target.tcp:
            return dict(master.read_device_identification(read_code))
        return dict(master.read_device_identification(station, read_code))

    def server_id(self, station: int) -> bytes:
        """What report server id (function 17) answers: the data after its byte count."""
        master = self._at(station)
        if self.target.tcp:
            return bytes(master.report_server_id())
        return bytes(master.report_server_id(station))

    def close(self) -> None:
        self.master.close()

    def __enter__(self) -> Link:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _refused_setting(exc: BaseException) -> bool:
    """Whether opening failed because the port refused a setting (EINVAL from the driver)."""
    code = exc.errno if isinstance(exc, OSError) else exc.args[0] if exc.args else None
    return code == errno.EINVAL or f"[Errno {errno.EINVAL}]" in describe(exc)


def _parity_that_opens(target: Target, timeout: float, line: LineSettings) -> str | None:
    """The first other parity with which the port opens (N before E, E before O), or None."""
    for parity in ("N", "E", "O"):
        if parity == line.parity:
            continue
        keywords = {**line.keywords(), "parity": parity}
        try:
            brel_modbus.Master(target.name, line.baudrate, timeout, **keywords).close()
        except Exception:   # this one is refused too
            continue
        return parity
    return None


def open_link(target: Target, timeout: float, retries: int = 0, line: LineSettings | None = None,
              station: int = 1, tls: TlsSettings | None = None) -> Link:
    """Open the master for ``target``; OpenFailure with a one-line reason when that fails."""
    settings = line or LineSettings()
    try:
        if target.scheme == "udp" and target.tcp:
            master: Any = brel_modbus.ModbusUDPMaster(target.name, target.port, timeout, station)
        elif target.scheme == "tls" and target.tcp:
            context = (tls or TlsSettings()).context()
            master = brel_modbus.ModbusTCPMaster(target.name, target.port, timeout, station, ssl_context=context)
        elif target.tcp:
            master = brel_modbus.ModbusTCPMaster(target.name, target.port, timeout, station)
        else:
            master = brel_modbus.Master(target.name, settings.baudrate, timeout, **settings.keywords())
    except Exception as exc:   # pyserial's and termios' errors, refused settings: all end here
        if target.tcp:
            raise OpenFailure(f"connection: cannot connect to {target}: {describe(exc)}") from None
        reason = f"connection: cannot open {target} ({settings.baudrate} baud, {settings.shape()}): {describe(exc)}"
        # Some ports refuse a parity (a pseudo-terminal refuses E once opened): say which one opens.
        other = _parity_that_opens(target, timeout, settings) if _refused_setting(exc) else None
        if other is not None:
            reason += f"; the port refuses parity {settings.parity}: try --parity {other}"
        raise OpenFailure(reason) from None
    if retries:
        master.retries = retries
    return Link(target, master)
