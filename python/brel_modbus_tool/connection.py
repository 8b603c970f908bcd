"""The command's connection options (TARGET, time-out and retries, the serial line and its framing,
the certificates of tls:// targets) and the link they open."""

from __future__ import annotations

import argparse
import sys

from brel_modbus_tool.arguments import parity_letter, ranged, seconds
from brel_modbus_tool.output import FORMS, frame_printer
from brel_modbus_tool.target import LineSettings, Link, Target, TlsSettings, open_link

# The targets part of the command's help.
TARGETS = """\
targets:
  tcp://host[:port]      Modbus TCP (port 502 unless given)
  host[:port], 127.0.0.1, [::1]:502
                         Modbus TCP too: a host name or IP address that is no existing path
                         (a file named like a host is the file: write tcp://name for the host)
  tls://host[:port]      Modbus/TCP Security (port 802 unless given; --cafile, --certfile,
                         --keyfile, --insecure)
  udp://host[:port]      Modbus over UDP (port 502 unless given)
  /dev/ttyUSB0, COM3     Modbus RTU on a serial port (--framing ascii: Modbus ASCII)
  rtu+tcp://host:port    Modbus RTU through a TCP serial server, without pyserial
  socket://host:port     Modbus RTU through a TCP serial server; any pyserial URL works
                         (rfc2217://host:port, loop://)

"""


def add_connection(parser: argparse.ArgumentParser, timeout: float) -> None:
    parser.add_argument("target", metavar="TARGET",
                        help="tcp://host[:port] or a bare host name or IP address (localhost:502, 127.0.0.1) "
                             "for Modbus TCP; tls://host[:port] for Modbus/TCP Security (port 802); "
                             "udp://host[:port] for Modbus over UDP; a serial port (/dev/ttyUSB0, COM3), a pyserial "
                             "URL (socket://host:port, rfc2217://host:port, loop://) or rtu+tcp://host:port (a TCP "
                             "serial server, without pyserial) for RTU")
    group = parser.add_argument_group("connection")
    group.add_argument("--timeout", "-o", type=seconds(zero=False), default=timeout, metavar="S",
                       help=f"seconds to wait for each answer (default {timeout:g})")
    group.add_argument("--retries", type=ranged(0, 100), default=0, metavar="N",
                       help="send a request that failed (time-out, CRC, mismatch, broken connection) up to N times "
                            "more; an exception answer is never retried (default 0)")
    line = parser.add_argument_group("serial line (RTU targets)")
    line.add_argument("--baud", "-b", type=ranged(1, 10_000_000), default=19200, metavar="N",
                      help="baud rate (default 19200)")
    line.add_argument("--parity", "-P", type=parity_letter, choices=("N", "E", "O"), default="E",
                      help="parity: N, E, O (or none, even, odd; default E, even: the Modbus serial line's default; "
                           "the standard pairs N with 2 stop bits)")
    line.add_argument("--stopbits", type=float, choices=(1, 1.5, 2), default=1, help="stop bits (default 1)")
    line.add_argument("--bytesize", type=int, choices=(7, 8), default=8, help="data bits (default 8)")
    line.add_argument("--echo", action="store_true",
                      help="the adapter hears its own requests (2-wire RS-485): read back and check each one")
    line.add_argument("--rs485", action="store_true",
                      help="switch the RS-485 transceiver by RTS (by the driver, or by the channel)")
    line.add_argument("--low-latency", action="store_true",
                      help="ask the driver for its low-latency mode (Linux; FTDI adapters)")
    line.add_argument("--broadcast-delay", type=seconds(zero=True), metavar="S",
                      help="quiet time after a broadcast to station 0 (default 0.1)")
    parser.add_argument("--trace", action="store_true",
                        help="print every frame sent and received on stderr: seconds since the start, direction, "
                             "the bytes in hex and, for an answer, how the exchange ended (as mbpoll's -v)")
    line.add_argument("--framing", choices=("rtu", "ascii"), default="rtu",
                      help="rtu (default) or ascii: Modbus ASCII frames (':', hex, LRC, CR LF)")
    tls = parser.add_argument_group("certificates (tls:// targets)")
    tls.add_argument("--cafile", metavar="FILE",
                     help="the authority that signed the server's certificate (default: the system's)")
    tls.add_argument("--certfile", metavar="FILE",
                     help="this client's certificate (PEM), for a server that asks for one; its key too, "
                          "unless --keyfile")
    tls.add_argument("--keyfile", metavar="FILE", help="the key of --certfile, when it is a file of its own")
    tls.add_argument("--insecure", action="store_true",
                     help="check neither the server's certificate nor its name (a test bench only)")
    parser.add_argument("--output", choices=FORMS, default="table",
                        help="table (aligned, for people), csv or json (with ISO timestamps, for scripts); "
                             "default table")


def line_settings(args: argparse.Namespace) -> LineSettings:
    return LineSettings(baudrate=args.baud, parity=args.parity, stopbits=args.stopbits, bytesize=args.bytesize,
                        echo=args.echo, rs485=args.rs485, low_latency=args.low_latency,
                        broadcast_delay=args.broadcast_delay, framing=args.framing)


def tls_settings(args: argparse.Namespace) -> TlsSettings:
    return TlsSettings(cafile=args.cafile, certfile=args.certfile, keyfile=args.keyfile, insecure=args.insecure)


def connect(args: argparse.Namespace, station: int = 1) -> Link:
    target: Target = args.target_parsed
    link = open_link(target, args.timeout, args.retries, line_settings(args), station, tls_settings(args))
    if args.trace:
        link.master.trace = frame_printer(sys.stderr)
    return link
