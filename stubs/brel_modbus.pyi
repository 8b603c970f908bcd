"""Modbus RTU and Modbus TCP master (client) for Python.

Master talks Modbus RTU on a serial line (or a pyserial URL such as socket://host:port),
FixMaster is one Master with one fixed station, ModbusTCPMaster talks Modbus TCP. Poller
reads many points with few requests. ModbusStatic holds the function codes and the
register, value and CRC helpers. An exception answer of a slave raises SlaveException
(TCPSlaveException on Modbus TCP).

Example: with Master("/dev/ttyUSB0", 19200, 0.5) as m: print(m.read_registers(1, 0, 4))
"""

import array
import os
import socket
import ssl
import struct
from collections.abc import AsyncIterator, Callable, Iterable, Iterator, Sequence
from types import TracebackType
from _typeshed import structseq
from typing import Any, Final, Iterable as _Iterable, List as _List, Optional as _Optional, Sequence as _Sequence, final

from brel_linkkit import create_serial_instance as create_serial_instance

_tcp_connect = socket.create_connection

def _byte_array(iterable: _Iterable[int] | bytes) -> array.array[int]: ...

class ModbusStatic:
    """Function codes, default time-out and the helpers that need no connection.

    Every member is a class attribute or a static method: no instance is needed.

    Example: ModbusStatic.split_register(0x1234) == (0x12, 0x34)
    """

    FC_Read_Coils: int
    """Function code 1, read coils (1)."""
    FC_Read_Input_Coils: int
    """Function code 2, read discrete inputs (2)."""
    FC_Read_Registers: int
    """Function code 3, read holding registers (3); the default func_code of register reads."""
    FC_Read_Input_Registers: int
    """Function code 4, read input registers (4)."""
    FC_Write_Coil: int
    """Function code 5, write one coil (5)."""
    FC_Write_Register: int
    """Function code 6, write one register (6)."""
    FC_Write_Registers: int
    """Function code 16, write many registers (16)."""
    Default_Timeout: int
    """The default time-out in seconds (1)."""
    @staticmethod
    def split_register(value: int) -> tuple[int, int]:
        """Split a 16-bit register value into its (high byte, low byte).

        Args: value, an int; only its low 16 bits count.
        Returns: (high, low), each 0..255.
        Example: ModbusStatic.split_register(0x1234) == (0x12, 0x34)
        """
    @staticmethod
    def compound_register(high: int, low: int) -> int:
        """Join a high byte and a low byte into one 16-bit register value: high * 256 + low.

        Args: high, low: the two bytes as ints.
        Returns: the register value.
        Example: ModbusStatic.compound_register(0x12, 0x34) == 0x1234
        """
    @staticmethod
    def calculate_crc(string: Any, beg: int | None = 0, end: int | None = None) -> tuple[int, int]:
        """The CRC-16/MODBUS of string[beg:end], as the two bytes an RTU frame ends with.

        Args: string, bytes or a sequence of byte values; beg, end: the slice (None: the end).
        Returns: (first byte, second byte) of the CRC, in wire order (low byte first).
        Example: ModbusStatic.calculate_crc(b"\\x01\\x03\\x00\\x00\\x00\\x01") == (0x84, 0x0A)
        """
    @staticmethod
    def crc_is_right(string: Any) -> bool:
        """Whether an RTU frame ends with the right CRC of the bytes before it.

        Args: string, the whole frame (bytes or a sequence of byte values), CRC included.
        Returns: True when the last two bytes are the CRC of the others.
        Example: ModbusStatic.crc_is_right(b"\\x01\\x03\\x00\\x00\\x00\\x01\\x84\\x0a") is True
        """
    @staticmethod
    def decode_values(registers: Sequence[int], format: str, order: str = "ABCD") -> list[int | float | bytes]:
        """Decode register values into typed values; no I/O.

        Args: registers, exactly as many 16-bit values as the format takes; format, struct codes
        without a byte-order prefix (h H i I q Q e f d, Ns; a count repeats a code); order,
        "ABCD" (big-endian), "CDAB" (word swap), "BADC" (byte swap) or "DCBA" (little-endian).
        Returns: one value per code: int, float (e f d) or bytes (Ns).
        Raises: ValueError for a bad format, order or register count ("the format takes 4
        registers, got 3") or a register outside 0..65535.
        Example: ModbusStatic.decode_values([0x2211, 0x4433], "I", "BADC") == [0x11223344]
        """
    @staticmethod
    def encode_values(format: str, values: Sequence[int | float | bytes | bytearray],
                      order: str = "ABCD") -> list[int]:
        """Encode typed values into register values; no I/O.

        Args: format and order as for decode_values; values, one per code (a string shorter
        than its field is padded with NUL bytes; an int is taken where a float is expected).
        Returns: the 16-bit register values.
        Raises: ValueError for a bad format or order or a wrong number of values; OverflowError
        for a value its code cannot hold ("values[0] for 'H' is outside 0..65535"); TypeError
        for a value of the wrong kind.
        Example: ModbusStatic.encode_values("e", [1.5]) == [0x3E00]
        """
    DIAG_RETURN_QUERY_DATA: int
    """Diagnostics sub-function 0x00: the device returns the request's data (a link test)."""
    DIAG_RESTART_COMMUNICATIONS_OPTION: int
    """Diagnostics sub-function 0x01: restart the device's serial port; data FF 00 also clears its event log."""
    DIAG_RETURN_DIAGNOSTIC_REGISTER: int
    """Diagnostics sub-function 0x02: the device's 16-bit diagnostic register."""
    DIAG_CHANGE_ASCII_INPUT_DELIMITER: int
    """Diagnostics sub-function 0x03: the end-of-message character of ASCII mode (data: the character, 00)."""
    DIAG_FORCE_LISTEN_ONLY_MODE: int
    """Diagnostics sub-function 0x04: the device stops answering until restarted; no answer is awaited."""
    DIAG_CLEAR_COUNTERS_AND_DIAGNOSTIC_REGISTER: int
    """Diagnostics sub-function 0x0A: clear every counter and the diagnostic register."""
    DIAG_RETURN_BUS_MESSAGE_COUNT: int
    """Diagnostics sub-function 0x0B: messages the device saw on the line."""
    DIAG_RETURN_BUS_COMMUNICATION_ERROR_COUNT: int
    """Diagnostics sub-function 0x0C: CRC errors the device counted."""
    DIAG_RETURN_BUS_EXCEPTION_ERROR_COUNT: int
    """Diagnostics sub-function 0x0D: exception answers the device sent."""
    DIAG_RETURN_SERVER_MESSAGE_COUNT: int
    """Diagnostics sub-function 0x0E: messages addressed to the device (or broadcast)."""
    DIAG_RETURN_SERVER_NO_RESPONSE_COUNT: int
    """Diagnostics sub-function 0x0F: messages the device did not answer."""
    DIAG_RETURN_SERVER_NAK_COUNT: int
    """Diagnostics sub-function 0x10: negative acknowledge answers (exception 7)."""
    DIAG_RETURN_SERVER_BUSY_COUNT: int
    """Diagnostics sub-function 0x11: server device busy answers (exception 6)."""
    DIAG_RETURN_BUS_CHARACTER_OVERRUN_COUNT: int
    """Diagnostics sub-function 0x12: messages lost to character overruns."""
    DIAG_CLEAR_OVERRUN_COUNTER_AND_FLAG: int
    """Diagnostics sub-function 0x14: clear the overrun counter and error flag."""

class ModbusError(Exception):
    """Any failure of a Modbus exchange: the base of the library's errors.

    Each kind of failure has its class, which is also the built-in type raised for it before the
    family existed, with the same text: ModbusTimeoutError (a TimeoutError, so an OSError),
    FrameError (a ValueError and an AssertionError), MismatchError (an OSError, a ValueError and an
    AssertionError), TCPSlaveException (a TCP refusal), ConnectionClosedError (a ConnectionError)
    and MasterClosedError (an OSError). SlaveException, a serial slave's refusal, keeps Exception as
    its only base: except (ModbusError, SlaveException) catches every Modbus failure. Arguments
    refused before anything is sent (TypeError, OverflowError, ValueError) are not Modbus failures
    and stay plain Python errors.
    Example: except ModbusError as e: print(type(e).__name__, e)
    """

class SlaveException(Exception):
    """The slave refused a request with a Modbus exception answer.

    Attributes: station (the slave), function_code (the request's function code) and
    error_code (the Modbus exception code: 1 illegal function, 2 illegal data address,
    3 illegal data value, 4 slave device failure, ...).
    Example: except SlaveException as e: print(e.station, e.function_code, e.error_code)
    """

    station: Any
    """The station (slave address or unit identifier) that answered."""
    function_code: int
    """The function code of the refused request."""
    error_code: Any
    """The Modbus exception code of the answer."""
    def __init__(self, station: Any, function_code: int, error_code: Any) -> None:
        """Keep station, function code and exception code as attributes and as the exception's args."""
    def __str__(self) -> str:
        """A text that names the station, the function code and the exception code.

        Example: "modbus slave reports an exception. station: 1, function code: 2, error code: 3"
        """

class Master:
    """Modbus RTU master on a serial channel: every operation takes the station first.

    The channel is opened by brel_linkkit.create_serial_instance (pyserial), so the port may
    be a device ("/dev/ttyUSB0", "COM3") or a pyserial URL ("socket://host:4001", "rfc2217://",
    "loop://"). Station 0 is a broadcast: writes to it wait for no answer.
    Errors of every operation: OSError "modbus: read from slave timeout"; ValueError "modbus:
    message from slave with station N has crc error" or "... does not match the request";
    SlaveException for an exception answer; OverflowError for an address or count outside
    0..65535 (nothing is sent).
    Example: with Master("/dev/ttyUSB0", 19200, 0.5) as m: m.write_register(1, 200, 1234)
    """

    MessageLastSent: bytes
    """Instance attribute: the last request sent, which last_command_sent returns."""
    MessageLastReceived: bytes
    """Instance attribute: the last answer received, which last_feedback_received returns."""
    def __init__(self, port: str, baudrate: int, timeout: float, **kwargs: Any) -> None:
        """Open the serial channel: create_serial_instance(port, baudrate, timeout, **kwargs).

        Args: port, a device or pyserial URL, or rtu+tcp://host:port (RTU over TCP through the
        library's TcpChannel, without pyserial); baudrate; timeout in seconds (each read of an
        answer waits at most that long); kwargs reach the channel and pyserial (parity,
        bytesize, stopbits, broadcast_delay, echo, rs485, low_latency, ...), but for
        framing="ascii" (Modbus ASCII through an AsciiChannel over the channel; "rtu", the
        default, frames in RTU), which the master keeps.
        Raises: OSError when the port cannot be opened or set up; ValueError for another framing.
        """
    @property
    def serial(self) -> Any:
        """The serial channel object the master reads and writes (from create_serial_instance)."""
    @property
    def last_command_sent(self) -> bytes:
        """The last request frame sent, CRC included."""
    @property
    def last_feedback_received(self) -> bytes:
        """The last answer received, or what arrived of it before a failure."""
    @property
    def last_command_sent_hex(self) -> str:
        """last_command_sent as upper-case hexadecimal bytes separated by spaces ("01 03 00 00 00 02 C4 0B")."""
    @property
    def last_feedback_received_hex(self) -> str:
        """last_feedback_received as upper-case hexadecimal bytes separated by spaces."""
    def close(self) -> None:
        """Close the serial channel."""
    def __enter__(self) -> Master:
        """Return the master itself, for a with block that closes it."""
    def __exit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                 exc_tb: TracebackType | None) -> None:
        """Close the master; exceptions of the with block go on."""
    @property
    def timeout(self) -> float:
        """The time-out of each read of an answer, in seconds (the channel's); settable."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def write_register(self, station: int, address: int, value: int) -> None:
        """Write one holding register (function code 6) and check the echo.

        Args: value, sent as its low 16 bits.
        Example: master.write_register(1, 200, 1234)
        """
    def write_registers(self, station: int, address: int, values: Sequence[int]) -> None:
        """Write consecutive holding registers (function code 16), at most 127 values.

        Raises: ValueError "... register count must be less than 128" for too many values.
        Example: master.write_registers(1, 201, [1, 2, 3])
        """
    def send_write_register_request(self, station: int, address: int, value: int) -> None:
        """Send the request of write_register (code 6) without reading its answer."""
    def send_write_registers_request(self, station: int, address: int, values: Sequence[int]) -> None:
        """Send the request of write_registers (code 16) without reading its answer."""
    def write_coil(self, station: int, address: int, value: object) -> None:
        """Write one coil (function code 5): on when value is true, off otherwise.

        Example: master.write_coil(1, 5, True)
        """
    def send_write_coil_request(self, station: int, address: int, value: object) -> None:
        """Send the request of write_coil (code 5) without reading its answer."""
    def read_register(self, station: int, address: int, func_code: int = 3) -> int:
        """Read one register (code 3, or 4 for an input register).

        Returns: its value, 0..65535.
        Raises: ValueError "modbus: func_code 6 writes to the device; a read does not send it"
        for a code that changes the device.
        Example: master.read_register(1, 200)
        """
    def read_registers(self, station: int, address: int, count: int, func_code: int = 3) -> list[int]:
        """Read count consecutive registers (code 3, or 4 for input registers), at most 125.

        Returns: the values, unsigned 16-bit ints.
        Example: master.read_registers(1, 0, 4)
        """
    def read_input_register(self, station: int, address: int) -> int:
        """Read one input register (function code 4)."""
    def read_input_registers(self, station: int, address: int, count: int) -> list[int]:
        """Read count consecutive input registers (function code 4)."""
    def read_int16(self, station: int, address: int) -> int:
        """Read one holding register as a signed 16-bit int (-32768..32767).

        Example: master.read_int16(1, 230) == -2
        """
    def read_uint16(self, station: int, address: int, func_code: int = 3) -> int:
        """The same member as read_register: one register as an unsigned 16-bit int."""
    def write_int16(self, station: int, address: int, value: int) -> None:
        """The same member as write_register: the value is sent as its low 16 bits (-2 as FF FE)."""
    def write_uint16(self, station: int, address: int, value: int) -> None:
        """The same member as write_register."""
    def read_uint32(self, station: int, address: int, endian: str = ">") -> int:
        """Read an unsigned 32-bit int from two holding registers.

        Args: endian, ">" for the high word first (ABCD), any other text for the low word first (CDAB).
        Example: master.read_uint32(1, 212)
        """
    def read_int32(self, station: int, address: int, endian: str = ">") -> int:
        """Read a signed 32-bit int from two holding registers; endian as for read_uint32."""
    def read_float(self, station: int, address: int, endian: str = ">") -> float:
        """Read a single-precision float from two holding registers; endian as for read_uint32.

        Example: master.read_float(1, 214)
        """
    def read_multi_uint32(self, station: int, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count unsigned 32-bit ints (two registers each) in one request."""
    def read_multi_int32(self, station: int, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count signed 32-bit ints (two registers each) in one request."""
    def read_multi_float(self, station: int, address: int, count: int, endian: str = ">") -> list[float]:
        """Read count single-precision floats (two registers each) in one request."""
    def write_int32(self, station: int, address: int, value: int, endian: str = ">") -> None:
        """Write a signed 32-bit int to two holding registers (code 16); endian as for read_uint32."""
    def write_uint32(self, station: int, address: int, value: int, endian: str = ">") -> None:
        """Write an unsigned 32-bit int to two holding registers (code 16)."""
    def write_float(self, station: int, address: int, value: float, endian: str = ">") -> None:
        """Write a single-precision float to two holding registers (code 16).

        Example: master.write_float(1, 214, 21.5)
        """
    def write_multi_int32(self, station: int, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write signed 32-bit ints (two registers each) in one request (code 16)."""
    def write_multi_uint32(self, station: int, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write unsigned 32-bit ints (two registers each) in one request (code 16)."""
    def write_multi_float(self, station: int, address: int, values: Iterable[float], endian: str = ">") -> None:
        """Write single-precision floats (two registers each) in one request (code 16), at most 63."""
    def send_read_registers_request(self, station: int, address: int, count: int, func_code: int) -> None:
        """Send the request of read_registers (code 3 or 4) without reading its answer."""
    def send_read_input_registers_request(self, station: int, address: int, count: int) -> None:
        """Send the request of read_input_registers (code 4) without reading its answer."""
    def read_coil(self, station: int, address: int) -> bool:
        """Read one coil (function code 1).

        Example: master.read_coil(1, 5) is True
        """
    def read_coils(self, station: int, address: int, count: int) -> list[bool]:
        """Read count consecutive coils (function code 1).

        Example: master.read_coils(1, 0, 10)
        """
    def read_input_coils(self, station: int, address: int, count: int) -> list[bool]:
        """Read count consecutive discrete inputs (function code 2)."""
    def send_read_coils_request(self, station: int, address: int, count: int) -> None:
        """Send the request of read_coils (code 1) without reading its answer."""
    def send_read_input_coils_request(self, station: int, address: int, count: int) -> None:
        """Send the request of read_input_coils (code 2) without reading its answer."""
    def write_coils(self, station: int, address: int, values: Sequence[object]) -> None:
        """Write 1 to 1968 consecutive coils from truth values (function code 15).

        Example: master.write_coils(1, 20, [True, False, True])
        """
    def mask_write_register(self, station: int, address: int, and_mask: int, or_mask: int) -> None:
        """Mask one register in the device (function code 22).

        The register becomes (register AND and_mask) OR (or_mask AND NOT and_mask).
        Example: master.mask_write_register(1, 430, 0x00F2, 0x0025)
        """
    def read_write_registers(self, station: int, read_address: int, read_count: int, write_address: int,
                             values: Sequence[int]) -> list[int]:
        """Write 1 to 121 registers, then read 1 to 125, in one transaction (function code 23).

        Returns: the registers read (after the write).
        Example: master.read_write_registers(1, 430, 2, 431, [7])
        """
    def read_device_identification(self, station: int, read_code: int = 1, object_id: int = 0) -> dict[int, bytes]:
        """Read the device identification (function code 43, MEI type 14), every page.

        Args: read_code 1 basic (vendor, product code, revision), 2 regular, 3 extended, 4 the
        one object object_id; object_id, the first object to read.
        Returns: {object id: bytes}.
        Example: master.read_device_identification(1)[0]  # the vendor name
        """
    def read_values(self, station: int, address: int, format: str, order: str = "ABCD",
                    func_code: int = 3) -> list[Any]:
        """Read the registers a format takes (at most 125) and decode them as decode_values does.

        Args: func_code 3 (holding) or 4 (input registers).
        Raises: ValueError "modbus: func_code must be 3 or 4: 6", or for a bad format or order,
        before anything is sent.
        Example: master.read_values(1, 400, "2f h", "DCBA")
        """
    def write_values(self, station: int, address: int, format: str, values: Sequence[Any],
                     order: str = "ABCD") -> None:
        """Encode values as encode_values does and write them with function code 16 (at most 123 registers).

        Example: master.write_values(1, 400, "2f h", [21.5, -3.25, -40], "DCBA")
        """
    @property
    def retries(self) -> int:
        """How many times a failed request is sent again (0 to 100, default 0); settable.

        A time-out, CRC error, mismatched answer or broken connection is retried; a
        SlaveException, a broadcast and an argument refused before sending are not.
        """
    @retries.setter
    def retries(self, value: int) -> None: ...
    @property
    def recovery_delay(self) -> float:
        """Seconds of quiet line awaited before the request that follows a failure; settable.

        0 turns the wait off; setting None follows the time-out.
        """
    @recovery_delay.setter
    def recovery_delay(self, value: float | None) -> None: ...
    def read_exception_status(self, station: int) -> int:
        """Read the exception status (function code 7, serial line only): eight device-defined bits.

        Returns: the status byte, 0..255 (None for a broadcast, station 0).
        Example: master.read_exception_status(1) & 0x01
        """
    def diagnostics(self, station: int, sub_function: int, data: bytes = b"") -> bytes:
        """Run a diagnostics sub-function (function code 8, serial line only); its answer's data.

        Args: sub_function, 0..65535 (ModbusStatic.DIAG_...); data, the request's data field
        (at most 250 bytes); empty sends 00 00, the data of every standard sub-function.
        Returns: the answer's data after the sub-function: the echo, a counter (2 bytes, high
        first) or the diagnostic register; b"" for DIAG_FORCE_LISTEN_ONLY_MODE and a broadcast,
        which nobody answers.
        Raises: ValueError when the answer does not repeat the sub-function, is not as long
        as the request, or (return query data) does not repeat the data.
        Example: master.diagnostics(1, ModbusStatic.DIAG_RETURN_QUERY_DATA, b"\\xa5\\x37") == b"\\xa5\\x37"
        """
    def get_comm_event_counter(self, station: int) -> tuple[int, int]:
        """Read the communication event counter (function code 11, serial line only).

        Returns: (status, event count): status 0xFFFF while the device is busy with a command.
        Example: status, events = master.get_comm_event_counter(1)
        """
    def get_comm_event_log(self, station: int) -> tuple[int, int, int, bytes]:
        """Read the communication event log (function code 12, serial line only).

        Returns: (status, event count, message count, events): events, at most 64 bytes, the
        most recent first.
        Example: status, events, messages, log = master.get_comm_event_log(1)
        """
    def report_server_id(self, station: int) -> bytes:
        """Report the server id (function code 17): the answer's data after its byte count.

        Returns: the device's id (its length is the device's), the run indicator byte (0x00
        off, 0xFF on) and any data the device adds.
        Example: master.report_server_id(1)
        """
    def read_file_record(self, station: int, requests: Sequence[tuple[int, int, int]]) -> list[list[int]]:
        """Read file records (function code 20): one register list per (file, record, length).

        Args: requests, (file 0..65535, record 0..9999, length in registers) each; the requests
        (7 bytes each) and their answers (2 bytes and the registers each) must each fit in
        245 bytes. Reference type 6 is sent.
        Raises: ValueError for a record beyond 9999 or requests that do not fit, before sending;
        ValueError when an answer's record lengths or reference types are not those asked for.
        Example: master.read_file_record(1, [(4, 1, 2), (3, 9, 2)])
        """
    def write_file_record(self, station: int, requests: Sequence[tuple[int, int, Sequence[int]]]) -> None:
        """Write file records (function code 21): (file, record, values) each, values 0..65535.

        Args: requests, whose 7 bytes and values each must fit in 251 bytes in all.
        Raises: ValueError when the answer does not repeat the request.
        Example: master.write_file_record(1, [(4, 7, [0x06AF, 0x04BE, 0x100D])])
        """
    def read_fifo_queue(self, station: int, address: int) -> list[int]:
        """Read the FIFO queue whose pointer register is at address (function code 24).

        Returns: the queued values, at most 31.
        Raises: ValueError when the answer's byte count and FIFO count disagree or exceed 31.
        Example: master.read_fifo_queue(1, 0x04DE)
        """
    def execute(self, station: int, function_code: int, data: bytes,
                length: int | Callable[[bytes], int] | None = None) -> bytes:
        """Send one raw request (function_code, data) and return the data of its answer.

        Only the station, the function code (or an exception answer, raised as SlaveException)
        and the CRC are checked. How many answer bytes to read, since an RTU frame does not
        say: length None, the rule of a public function code (1 to 8, 11, 12, 15 to 17, 20 to
        24, 43/14; refused with ValueError before sending for any other code); an int, the
        answer's data length (1 to 252); a callable, given the answer so far (function code
        first) and returning how many more bytes it needs, 0 when it is whole.
        Args: function_code 1..127; data, at most 252 bytes.
        Returns: the answer after the function code; b"" for a broadcast (station 0).
        Example: master.execute(1, 0x41, b"\\x00", lambda pdu: 1 if len(pdu) < 2 else 2 + pdu[1] - len(pdu))
        """
    @property
    def trace(self) -> Callable[[TrafficRecord], object] | None:
        """The traffic trace: None (the default) or a callable given one TrafficRecord per frame.

        Each request gives a "sent" record when it has gone out and a "received" record when its
        exchange ends (all the bytes that came for it, and the outcome), so a retry shows as one
        more pair. The trace never changes what a call returns or raises: an exception of the
        callable is reported through sys.unraisablehook and the call goes on. Off, it costs nothing.
        Example: master.trace = records.append
        """
    @trace.setter
    def trace(self, value: Callable[[TrafficRecord], object] | None) -> None: ...

class FixMaster:
    """A Master with one station fixed: the members of Master without the station argument.

    Every call goes to the Master's member of the same name with the station added, so
    the errors are the Master's.
    Example: with FixMaster(1, "/dev/ttyUSB0", 19200, 0.5) as meter: meter.read_registers(0, 2)
    """

    def __init__(self, station: int, port: str, baudrate: int, timeout: float, **kwargs: Any) -> None:
        """Make a Master(port, baudrate, timeout, **kwargs) and keep station for every call.

        kwargs include framing="ascii" for Modbus ASCII (see Master).
        Raises: OSError when the port cannot be opened.
        """
    @property
    def master(self) -> Master:
        """The Master that carries the calls; for everything FixMaster does not forward."""
    @property
    def serial(self) -> Any:
        """The master's serial channel."""
    @property
    def last_command_sent(self) -> bytes:
        """The master's last request frame."""
    @property
    def last_feedback_received(self) -> bytes:
        """The master's last answer, or what arrived of it."""
    @property
    def last_command_sent_hex(self) -> str:
        """last_command_sent as upper-case hexadecimal bytes separated by spaces."""
    @property
    def last_feedback_received_hex(self) -> str:
        """last_feedback_received as upper-case hexadecimal bytes separated by spaces."""
    @property
    def station(self) -> int:
        """The station every call goes to; settable.

        Example: meter.station = 2
        """
    @station.setter
    def station(self, value: int) -> None: ...
    def close(self) -> None:
        """Close the master's serial channel."""
    def __enter__(self) -> FixMaster:
        """Return the FixMaster itself, for a with block that closes it."""
    def __exit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                 exc_tb: TracebackType | None) -> None:
        """Close the master; exceptions of the with block go on."""
    @property
    def timeout(self) -> float:
        """The master's time-out in seconds; settable."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    def send_write_coil_request(self, address: int, value: int) -> None:
        """Master.send_write_coil_request at the station: the request only, no answer read."""
    def send_write_registers_request(self, address: int, values: Sequence[int]) -> None:
        """Master.send_write_registers_request at the station: the request only, no answer read."""
    def send_write_register_request(self, address: int, value: int) -> None:
        """Master.send_write_register_request at the station: the request only, no answer read."""
    def send_read_coils_request(self, address: int, count: int) -> None:
        """Master.send_read_coils_request at the station: the request only, no answer read."""
    def send_read_registers_request(self, address: int, count: int, func_code: int = 3) -> None:
        """Master.send_read_registers_request at the station: the request only, no answer read."""
    def write_register(self, address: int, value: int) -> None:
        """Write one holding register (function code 6).

        Example: meter.write_register(250, 7)
        """
    def write_registers(self, address: int, values: Sequence[int]) -> None:
        """Write consecutive holding registers (function code 16), at most 127 values."""
    def write_coil(self, address: int, value: object) -> None:
        """Write one coil (function code 5): on when value is true."""
    def read_register(self, address: int) -> int:
        """Read one holding register (function code 3)."""
    def read_registers(self, address: int, count: int, func_code: int = 3) -> list[int]:
        """Read count consecutive registers (code 3, or 4 for input registers).

        Example: meter.read_registers(250, 2)
        """
    def read_coil(self, address: int) -> bool:
        """Read one coil (function code 1)."""
    def read_coils(self, address: int, count: int) -> list[bool]:
        """Read count consecutive coils (function code 1)."""
    def read_int32(self, address: int) -> int:
        """Read a signed 32-bit int from two holding registers, high word first."""
    def read_uint32(self, address: int) -> int:
        """Read an unsigned 32-bit int from two holding registers, high word first."""
    def read_float(self, address: int) -> float:
        """Read a single-precision float from two holding registers, high word first."""
    def write_int32(self, address: int, value: int) -> None:
        """Write a signed 32-bit int to two holding registers, high word first."""
    def write_uint32(self, address: int, value: int) -> None:
        """Write an unsigned 32-bit int to two holding registers, high word first."""
    def read_int16(self, address: int) -> int:
        """Read one holding register as a signed 16-bit int."""
    def read_uint16(self, address: int) -> int:
        """Read one holding register as an unsigned 16-bit int."""
    def write_int16(self, address: int, value: int) -> None:
        """Write one holding register from a 16-bit int (sent as its low 16 bits)."""
    def write_uint16(self, address: int, value: int) -> None:
        """Write one holding register from an unsigned 16-bit int."""
    def write_coils(self, address: int, values: Sequence[object]) -> None:
        """Write 1 to 1968 consecutive coils from truth values (function code 15)."""
    def mask_write_register(self, address: int, and_mask: int, or_mask: int) -> None:
        """Mask one register in the device (function code 22): (register AND and_mask) OR (or_mask AND NOT and_mask)."""
    def read_write_registers(self, read_address: int, read_count: int, write_address: int,
                             values: Sequence[int]) -> list[int]:
        """Write registers, then read registers, in one transaction (function code 23); returns those read."""
    def read_device_identification(self, read_code: int = 1, object_id: int = 0) -> dict[int, bytes]:
        """Read the device identification (function code 43 / 14) as {object id: bytes}; see Master."""
    def read_values(self, address: int, format: str, order: str = "ABCD", func_code: int = 3) -> list[Any]:
        """Read and decode typed values, as Master.read_values does.

        Example: meter.read_values(410, "q 8s")
        """
    def write_values(self, address: int, format: str, values: Sequence[Any], order: str = "ABCD") -> None:
        """Encode and write typed values with function code 16, as Master.write_values does."""
    @property
    def retries(self) -> int:
        """The master's retries: how many times a failed request is sent again; settable."""
    @retries.setter
    def retries(self, value: int) -> None: ...
    @property
    def recovery_delay(self) -> float:
        """The master's recovery_delay in seconds; settable (None follows the time-out)."""
    @recovery_delay.setter
    def recovery_delay(self, value: float | None) -> None: ...
    def read_exception_status(self) -> int:
        """Read the exception status (function code 7, serial line only); see Master."""
    def diagnostics(self, sub_function: int, data: bytes = b"") -> bytes:
        """Run a diagnostics sub-function (function code 8); see Master.

        Example: meter.diagnostics(ModbusStatic.DIAG_RETURN_BUS_MESSAGE_COUNT)
        """
    def get_comm_event_counter(self) -> tuple[int, int]:
        """Read the communication event counter (function code 11) as (status, event count); see Master."""
    def get_comm_event_log(self) -> tuple[int, int, int, bytes]:
        """Read the communication event log (function code 12); see Master."""
    def report_server_id(self) -> bytes:
        """Report the server id (function code 17): the data after the byte count; see Master."""
    def read_file_record(self, requests: Sequence[tuple[int, int, int]]) -> list[list[int]]:
        """Read file records (function code 20), (file, record, length) each; see Master."""
    def write_file_record(self, requests: Sequence[tuple[int, int, Sequence[int]]]) -> None:
        """Write file records (function code 21), (file, record, values) each; see Master."""
    def read_fifo_queue(self, address: int) -> list[int]:
        """Read a FIFO queue (function code 24), at most 31 values; see Master."""
    def execute(self, function_code: int, data: bytes, length: int | Callable[[bytes], int] | None = None) -> bytes:
        """Send one raw request and return the data of its answer; see Master for length."""
    @property
    def trace(self) -> Callable[[TrafficRecord], object] | None:
        """As Master.trace."""
    @trace.setter
    def trace(self, value: Callable[[TrafficRecord], object] | None) -> None: ...

class ModbusTCPMaster:
    """Modbus 主站控制端，也叫客户端。

    Modbus TCP master (client) with one connection and one unit identifier (station).
    Errors of every operation: TimeoutError "timed out" when no answer comes in time;
    ConnectionError "Connection closed by ('host', port)" when the peer closed (the next
    call reconnects); AssertionError for an answer that does not fit the request ("Data
    length not match with needed"); TCPSlaveException for an exception answer;
    OverflowError for an address, count or station out of range and ValueError for a count
    beyond its function code's limit, before anything is sent.
    Example: with ModbusTCPMaster("192.168.1.60", 502, 2.0) as plc: plc.read_registers(0, 4)
    """

    def __init__(self, host: str, port: int, timeout: float, station: int = 1,
                 ssl_context: ssl.SSLContext | None = None) -> None:
        """Connect to host:port (through brel_modbus._tcp_connect) with a time-out in seconds.

        Args: station, the unit identifier of the requests (0..255); ssl_context, an
        ssl.SSLContext for Modbus/TCP Security (TLS, port 802 as a rule; see tls_context):
        the connection is wrapped in TLS here and at each reconnection, the certificate
        checked as the context says. None: plain Modbus TCP.
        Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when the connection fails;
        ssl.SSLError (an OSError; ssl.SSLCertVerificationError for a certificate refused)
        when the TLS handshake fails, before any request is sent.
        """
    @property
    def socket(self) -> socket.socket:
        """The connected socket."""
    def close(self) -> None:
        """Close the connection; a closed master is never reopened."""
    def __enter__(self) -> ModbusTCPMaster:
        """Return the master itself, for a with block that closes it."""
    def __exit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                 exc_tb: TracebackType | None) -> None:
        """Close the master; exceptions of the with block go on."""
    @property
    def timeout(self) -> float:
        """The time-out in seconds given to the constructor (read-only)."""
    @property
    def station(self) -> int:
        """The unit identifier of the next requests (0..255); settable.

        Example: plc.station = 2
        """
    @station.setter
    def station(self, value: int) -> None: ...
    @property
    def last_command_sent(self) -> bytes:
        """The last request sent, MBAP header included."""
    @property
    def last_feedback_received(self) -> bytes:
        """The last answer received, MBAP header included, or what arrived of it."""
    @property
    def last_command_sent_hex(self) -> str:
        """last_command_sent as upper-case hexadecimal bytes separated by spaces."""
    @property
    def last_feedback_received_hex(self) -> str:
        """last_feedback_received as upper-case hexadecimal bytes separated by spaces."""
    @property
    def protocol(self) -> int:
        """The protocol identifier of the MBAP header (0, Modbus)."""
    @staticmethod
    def construct_header(command: bytes, head_checker: int, protocol: int = 0, station: int = 1) -> bytes:
        """The MBAP header for a PDU: transaction id, protocol id, length, unit id.

        Args: command, the PDU; head_checker, the transaction identifier.
        Example: ModbusTCPMaster.construct_header(b"\\x03\\x00\\x00\\x00\\x02", 7) == bytes.fromhex("00070000000601")
        """
    @staticmethod
    def construct_whole_query_command(command: bytes, head_checker: int, protocol: int = 0,
                                      station: int = 1) -> bytes:
        """The whole Modbus TCP request: construct_header(...) followed by the PDU command."""
    @staticmethod
    def construct_read_registers_command(address: int, count: int) -> bytes:
        """The PDU of a holding-register read (function code 3).

        Example: ModbusTCPMaster.construct_read_registers_command(1, 2) == bytes.fromhex("0300010002")
        """
    @staticmethod
    def construct_read_coils_command(address: int, count: int) -> bytes:
        """The PDU of a coil read (function code 1)."""
    def read_coils(self, address: int, count: int) -> list[bool]:
        """Read count consecutive coils (function code 1).

        Example: plc.read_coils(0, 8)
        """
    def read_registers(self, address: int, count: int) -> list[int]:
        """Read count consecutive holding registers (function code 3), at most 125.

        Example: plc.read_registers(300, 3)
        """
    def read_register(self, address: int) -> int:
        """Read one holding register (function code 3)."""
    @staticmethod
    def construct_write_registers_command(address: int, values: list[int]) -> bytes:
        """The PDU of a write of many registers (function code 16)."""
    def write_registers(self, address: int, values: list[int]) -> None:
        """Write consecutive holding registers (function code 16); values must be a list.

        Example: plc.write_registers(300, [10, 20, 30])
        """
    def write_register(self, address: int, value: int) -> None:
        """Write one holding register, sent with function code 16 (write_single_register uses 6)."""
    @staticmethod
    def construct_write_coil_command(address: int, value: object) -> bytes:
        """The PDU of a single coil write (function code 5): FF 00 when value is true, 00 00 otherwise."""
    def write_coil(self, address: int, value: object) -> None:
        """Write one coil (function code 5): on when value is true.

        Example: plc.write_coil(3, True)
        """
    def read_input_registers(self, address: int, count: int) -> list[int]:
        """Read count consecutive input registers (function code 4)."""
    def read_input_register(self, address: int) -> int:
        """Read one input register (function code 4)."""
    def read_input_coils(self, address: int, count: int) -> list[bool]:
        """Read count consecutive discrete inputs (function code 2)."""
    def read_coil(self, address: int) -> bool:
        """Read one coil (function code 1)."""
    def write_single_register(self, address: int, value: int) -> None:
        """Write one holding register with function code 6.

        Example: plc.write_single_register(320, 0x1234)
        """
    def read_int16(self, address: int) -> int:
        """Read one holding register as a signed 16-bit int."""
    def read_uint16(self, address: int) -> int:
        """The same member as read_register: one holding register, unsigned."""
    def write_int16(self, address: int, value: int) -> None:
        """The same member as write_register."""
    def write_uint16(self, address: int, value: int) -> None:
        """The same member as write_register."""
    def read_uint32(self, address: int, endian: str = ">") -> int:
        """Read an unsigned 32-bit int from two holding registers; endian ">" high word first, else low word first."""
    def read_int32(self, address: int, endian: str = ">") -> int:
        """Read a signed 32-bit int from two holding registers; endian as for read_uint32."""
    def read_float(self, address: int, endian: str = ">") -> float:
        """Read a single-precision float from two holding registers; endian as for read_uint32.

        Example: plc.read_float(316, "<")
        """
    def read_multi_uint32(self, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count unsigned 32-bit ints (two registers each, at most 62) in one request."""
    def read_multi_int32(self, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count signed 32-bit ints (two registers each, at most 62) in one request."""
    def read_multi_float(self, address: int, count: int, endian: str = ">") -> list[float]:
        """Read count single-precision floats (two registers each, at most 62) in one request."""
    def write_int32(self, address: int, value: int, endian: str = ">") -> None:
        """Write a signed 32-bit int to two holding registers (function code 16)."""
    def write_uint32(self, address: int, value: int, endian: str = ">") -> None:
        """Write an unsigned 32-bit int to two holding registers (function code 16)."""
    def write_float(self, address: int, value: float, endian: str = ">") -> None:
        """Write a single-precision float to two holding registers (function code 16).

        Example: plc.write_float(316, 0.5, "<")
        """
    def write_multi_int32(self, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write signed 32-bit ints (at most 61) in one request (function code 16)."""
    def write_multi_uint32(self, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write unsigned 32-bit ints (at most 61) in one request (function code 16)."""
    def write_multi_float(self, address: int, values: Iterable[float], endian: str = ">") -> None:
        """Write single-precision floats (at most 61) in one request (function code 16)."""
    def write_coils(self, address: int, values: Iterable[object]) -> None:
        """Write 1 to 1968 consecutive coils from truth values (function code 15).

        Example: plc.write_coils(8, [True, False, True])
        """
    def mask_write_register(self, address: int, and_mask: int, or_mask: int) -> None:
        """Mask one register in the device (function code 22): (register AND and_mask) OR (or_mask AND NOT and_mask)."""
    def read_write_registers(self, read_address: int, read_count: int, write_address: int,
                             values: list[int]) -> list[int]:
        """Write 1 to 121 registers, then read 1 to 125, in one transaction (function code 23).

        Example: plc.read_write_registers(320, 2, 321, [7])
        """
    def read_device_identification(self, read_code: int = 1, object_id: int = 0) -> dict[int, bytes]:
        """Read the device identification (function code 43, MEI type 14), every page, as {object id: bytes}.

        Args: read_code 1 basic, 2 regular, 3 extended, 4 the one object object_id.
        Example: plc.read_device_identification()[0]  # the vendor name
        """
    def read_values(self, address: int, format: str, order: str = "ABCD",
                    func_code: int = 3) -> list[int | float | bytes]:
        """Read the registers a format takes (at most 125) and decode them as ModbusStatic.decode_values does.

        Args: func_code 3 (holding) or 4 (input registers).
        Example: plc.read_values(310, "f I 4s", "CDAB")
        """
    def write_values(self, address: int, format: str, values: Sequence[int | float | bytes | bytearray],
                     order: str = "ABCD") -> None:
        """Encode values as ModbusStatic.encode_values does and write them with function code 16.

        At most 123 registers.
        Example: plc.write_values(310, "f I 4s", [21.5, 3_000_000_000, b"PLC1"], "CDAB")
        """
    @property
    def retries(self) -> int:
        """How many times a failed request is sent again (0 to 100, default 0); settable.

        A request whose connection broke is sent again on a new connection. A TCPSlaveException
        and an argument refused before sending are not retried.
        """
    @retries.setter
    def retries(self, value: int) -> None: ...
    @property
    def reconnect(self) -> bool:
        """Whether the call after a closed or broken connection opens a new one (default True); settable."""
    @reconnect.setter
    def reconnect(self, value: bool) -> None: ...
    def diagnostics(self, sub_function: int, data: bytes = b"") -> bytes:
        """Run a diagnostics sub-function (function code 8) through a gateway or a device that serves it.

        Args and Returns as Master.diagnostics; the length comes from the MBAP header.
        Raises: AssertionError "Feedback for diagnostics invalid" when the answer does not
        repeat the sub-function, is not as long as the request, or does not repeat the data
        of return query data.
        Example: plc.diagnostics(ModbusStatic.DIAG_RETURN_QUERY_DATA, b"\\xa5\\x37")
        """
    def report_server_id(self) -> bytes:
        """Report the server id (function code 17): the answer's data after its byte count.

        Example: plc.report_server_id()[-1] == 0xFF  # running, for most devices
        """
    def read_file_record(self, requests: Sequence[tuple[int, int, int]]) -> list[list[int]]:
        """Read file records (function code 20), one register list per (file, record, length); see Master.

        Raises: AssertionError "Feedback for reading file records invalid" for an answer that
        does not carry the records asked for.
        """
    def write_file_record(self, requests: Sequence[tuple[int, int, Sequence[int]]]) -> None:
        """Write file records (function code 21), (file, record, values) each; see Master.

        Raises: AssertionError "Feedback for writing file records invalid" when the answer does
        not repeat the request.
        """
    def read_fifo_queue(self, address: int) -> list[int]:
        """Read the FIFO queue whose pointer register is at address (function code 24), at most 31 values."""
    def execute(self, function_code: int, data: bytes, length: int | Callable[[bytes], int] | None = None) -> bytes:
        """Send one raw request (function_code 1..127, data at most 252 bytes); the data of its answer.

        The MBAP header says how long the answer is; length, when given, must agree with it:
        an int, the data length; a callable, given the answer so far (function code first) and
        returning how many more bytes it needs. The function code of a public code's answer
        is checked with its own length rule.
        Raises: TCPSlaveException for an exception answer; AssertionError "Data length not
        match with needed" or "Feedback for the request invalid" when the lengths disagree.
        Example: plc.execute(17, b"")
        """
    @property
    def trace(self) -> Callable[[TrafficRecord], object] | None:
        """As Master.trace."""
    @trace.setter
    def trace(self, value: Callable[[TrafficRecord], object] | None) -> None: ...

class TCPSlaveException(SlaveException, AssertionError, ModbusError):
    """A Modbus TCP exception answer: a SlaveException that is also an AssertionError."""

class Poller:
    """Reads many points of many stations with few requests: points of one station, table and period
    are merged into one read while the gap between them is at most max_gap registers (max_bit_gap
    bits), within the Modbus limits."""

    def __init__(self, master: Master | FixMaster | ModbusTCPMaster, max_gap: int | str = 16, max_bit_gap: int = 256,
                 clock: Callable[[], float] | None = None, max_failures: int = 3,
                 max_backoff: float = 60.0, learned: dict | None = None) -> None:
        """Poll through master (a Master, FixMaster or ModbusTCPMaster).

        Args: max_gap, the most unused registers read to merge two points, or "auto": the gap
        that costs less to read than another request, measured from the round trips; max_bit_gap,
        the same for coils and discrete inputs; clock, the time source of the periods
        (the system's monotonic clock when None; a callable returning seconds as a float);
        max_failures, the failures in a row (time-outs, CRC errors, mismatches, lost
        connections, gateway exceptions 10 and 11; a failure ends the station's pass, its other
        requests not sent, and counts once) that mark a station down; max_backoff, the
        longest wait in seconds between two tries of a station that is down; learned, what an
        earlier poller learned (its `learned`, also after a trip through JSON) to start from.
        Raises: ValueError for a max_gap that is negative or a str other than "auto", max_failures
        below 1, a max_backoff that is not a positive number, or an entry of learned that is not a
        station, a table, an address or a size; TypeError for a learned that is not a dict of dicts.
        Example: poller = Poller(master, max_failures=2, max_backoff=30.0)
        """
    def add(self, name: str, station: int, table: str, address: int, format: str = "H", order: str = "ABCD",
            period: float = 1.0) -> None:
        """Add a point: a value of `format` (registers) or one bit at `address` of `table` ('holding',
        'input', 'coil', 'discrete') of `station`, read every `period` seconds.

        Raises: ValueError for a repeated name, an unknown table, a bad format or order, a period
        that is not positive, a point past address 65535, or a station other than a FixMaster's or
        ModbusTCPMaster's own; OverflowError for a station outside 0..255 or an address outside 0..65535.
        Example: poller.add("level", 1, "holding", 4, "f")
        """
    def plan(self, learned: bool = False) -> list[tuple[int, str, int, int, list[str]]]:
        """The requests a pass sends: (station, table, address, count, [names])."""
    def poll(self) -> dict[str, Any]:
        """One pass over every due request: name -> value, or the exception of the point's failed request.

        Example: values = poller.poll()
        """
    def run(self, duration: float | None = None) -> Iterator[dict[str, Any]]:
        """An iterator of passes, each point at its own period, sleeping between them; stops after
        `duration` seconds (None: never).

        Example: for values in poller.run(duration=10.0): print(values)
        """
    @property
    def stats(self) -> dict[int, dict[str, int | float | str | None]]:
        """Figures per station: {station: {name: figure}}.

        requests, answers, failures by kind (timeouts, mismatches, slave_exceptions, ...), the
        round trips rtt_p50 and rtt_p99 in seconds (None before the first answer), and the
        station's state ("up" or "down"), its failures in a row, last_success (the poller's clock
        at its last answer with values, or None) and backoff (seconds while down, else None);
        max_gap, the register gap the plan uses (with max_gap="auto", the one measured).
        """
    @property
    def master(self) -> Master | FixMaster | ModbusTCPMaster:
        """The master the poller reads through."""
    def write(self, name: str, value: Any) -> None:
        """Write a point's value (its format and order) before any read still due, also while run()
        iterates in another thread; returns when written, or raises as the master does.

        A holding register point is written with write_registers (function code 16), a coil
        point with write_coil (function code 5), through the master's public members.
        Raises: KeyError for an unknown name; ValueError for an input register or discrete input
        point, or a value its format cannot hold; TypeError for a value of the wrong type.
        Example: poller.write("setpoint", 21.5)
        """
    @property
    def learned(self) -> dict[str, dict[str, dict[str, Any]]]:
        """What the poller learned of each device: {station: {table: {name: figure}}}, str keys only.

        cuts, the addresses no request spans (holes found by refusals); max_block, the largest
        read planned (None without a bound); largest_read and smallest_refused, the sizes the
        bound lies between. Plain data: json.dumps takes it, and Poller(..., learned=...) starts
        from it, or from json.loads of it.
        Example: json.dump(poller.learned, file)
        """

class AsyncModbusTCPMaster:
    """Modbus TCP master (client) for asyncio: ModbusTCPMaster's data model on an asyncio connection.

    Each operation checks its arguments and builds its request at the call (a bad argument
    raises there, before anything is queued) and returns an asyncio Future for its result:
    `await plc.read_registers(0, 4)`. The names, parameters, defaults, results, exceptions and
    texts are those of ModbusTCPMaster. Calls made concurrently on one master go out in the
    order they were made, but a write goes before the reads that wait; up to max_in_flight
    requests are on the wire at once, matched to their answers by transaction identifier.
    A cancelled call (task.cancel(), asyncio.timeout()) leaves the master usable: its answer,
    if it comes, is skipped. The connection opens on the first call, in `async with`, or by
    `await connect()`.
    Example: async with AsyncModbusTCPMaster("192.168.1.60", 502, 2.0) as plc: await plc.read_registers(0, 4)
    """

    def __init__(self, host: str, port: int, timeout: float, station: int = 1, *, max_in_flight: int = 1,
                 ssl_context: ssl.SSLContext | None = None) -> None:
        """Make the master for host:port; nothing is opened yet (asyncio.get_running_loop()'s
        loop.create_connection opens it on first use).

        Args: timeout, seconds for each answer (and for opening the connection); station, the
        unit identifier of the requests (0..255); max_in_flight, the requests on the wire at once (1..16);
        ssl_context, an ssl.SSLContext for Modbus/TCP Security (see tls_context), None for plain TCP:
        each connection (the first and each reopened one) makes its TLS handshake with it, the
        certificate checked against host.
        Raises: OverflowError for a station outside 0..255; ValueError for max_in_flight outside
        1..16 or a timeout that is not above 0; TypeError for an ssl_context that is not an
        ssl.SSLContext. A failed handshake fails the call (or connect()) with ssl.SSLError before
        any request is sent.
        """
    async def connect(self) -> None:
        """Open the connection now (it opens on first use otherwise).

        Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when it cannot be opened;
        ConnectionError after close().
        """
    async def close(self) -> None:
        """Close the connection; calls still waiting fail with ConnectionError. A closed master is never reopened."""
    async def aclose(self) -> None:
        """The same as close()."""
    async def __aenter__(self) -> AsyncModbusTCPMaster:
        """Open the connection; the master itself, for an async with block that closes it."""
    async def __aexit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                        exc_tb: TracebackType | None) -> None:
        """Close the connection (an exception raised in the block passes on)."""
    @property
    def transport(self) -> Any:
        """The asyncio transport of the open connection, None while there is none."""
    @property
    def timeout(self) -> float:
        """The time-out of each answer, in seconds."""
    @property
    def station(self) -> int:
        """The unit identifier of the requests that go out from now on (0..255)."""
    @station.setter
    def station(self, value: int) -> None: ...
    @property
    def max_in_flight(self) -> int:
        """The requests on the wire at once (1..16; ValueError outside). After a time-out or an
        answer with an unknown transaction identifier, one at a time until the connection is opened again."""
    @max_in_flight.setter
    def max_in_flight(self, value: int) -> None: ...
    @property
    def last_command_sent(self) -> bytes:
        """The last request sent (MBAP header and PDU)."""
    @property
    def last_feedback_received(self) -> bytes:
        """The last answer received (empty until it comes)."""
    @property
    def last_command_sent_hex(self) -> str:
        """last_command_sent as upper-case hex pairs: "00 01 00 00 00 06 01 03 00 00 00 02"."""
    @property
    def last_feedback_received_hex(self) -> str:
        """last_feedback_received as upper-case hex pairs."""
    @property
    def protocol(self) -> int:
        """The protocol identifier of the requests: 0 (Modbus)."""
    async def read_coils(self, address: int, count: int) -> list[bool]:
        """Read count consecutive coils (function code 1).

        Example: await plc.read_coils(0, 8)
        """
    async def read_registers(self, address: int, count: int) -> list[int]:
        """Read count consecutive holding registers (function code 3), at most 125.

        Example: await plc.read_registers(300, 3)
        """
    async def read_register(self, address: int) -> int:
        """Read one holding register (function code 3)."""
    async def write_registers(self, address: int, values: list[int]) -> None:
        """Write holding registers from address (function code 16)."""
    async def write_register(self, address: int, value: int) -> None:
        """Write one holding register with function code 16."""
    async def write_coil(self, address: int, value: object) -> None:
        """Switch one coil on (a true value) or off (function code 5)."""
    async def read_input_registers(self, address: int, count: int) -> list[int]:
        """Read count consecutive input registers (function code 4), 1 to 125."""
    async def read_input_register(self, address: int) -> int:
        """Read one input register (function code 4)."""
    async def read_input_coils(self, address: int, count: int) -> list[bool]:
        """Read count consecutive discrete inputs (function code 2), 1 to 2000."""
    async def read_coil(self, address: int) -> bool:
        """Read one coil (function code 1)."""
    async def write_single_register(self, address: int, value: int) -> None:
        """Write one holding register with function code 6."""
    async def read_int16(self, address: int) -> int:
        """Read one holding register as a signed 16-bit value."""
    async def read_uint16(self, address: int) -> int:
        """The same as read_register."""
    async def write_int16(self, address: int, value: int) -> None:
        """The same as write_register."""
    async def write_uint16(self, address: int, value: int) -> None:
        """The same as write_register."""
    async def read_uint32(self, address: int, endian: str = ">") -> int:
        """Read an unsigned 32-bit value from two holding registers (">": high word first)."""
    async def read_int32(self, address: int, endian: str = ">") -> int:
        """Read a signed 32-bit value from two holding registers (">": high word first)."""
    async def read_float(self, address: int, endian: str = ">") -> float:
        """Read a 32-bit float from two holding registers (">": high word first).

        Example: await plc.read_float(20)
        """
    async def read_multi_uint32(self, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count unsigned 32-bit values."""
    async def read_multi_int32(self, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count signed 32-bit values."""
    async def read_multi_float(self, address: int, count: int, endian: str = ">") -> list[float]:
        """Read count 32-bit floats."""
    async def write_int32(self, address: int, value: int, endian: str = ">") -> None:
        """Write a signed 32-bit value into two holding registers."""
    async def write_uint32(self, address: int, value: int, endian: str = ">") -> None:
        """Write an unsigned 32-bit value into two holding registers."""
    async def write_float(self, address: int, value: float, endian: str = ">") -> None:
        """Write a 32-bit float into two holding registers."""
    async def write_multi_int32(self, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write signed 32-bit values."""
    async def write_multi_uint32(self, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write unsigned 32-bit values."""
    async def write_multi_float(self, address: int, values: Iterable[float], endian: str = ">") -> None:
        """Write 32-bit floats."""
    async def write_coils(self, address: int, values: Iterable[object]) -> None:
        """Write coils from address, one per truth value (function code 15)."""
    async def mask_write_register(self, address: int, and_mask: int, or_mask: int) -> None:
        """Set a holding register to (value AND and_mask) OR (or_mask AND NOT and_mask) (function code 22)."""
    async def read_write_registers(self, read_address: int, read_count: int, write_address: int,
                                   values: list[int]) -> list[int]:
        """Write values from write_address, then read read_count registers from read_address (function code 23)."""
    async def read_device_identification(self, read_code: int = 1, object_id: int = 0) -> dict[int, bytes]:
        """Read the device identification objects (function code 43/14), page by page: {object id: bytes}.

        Example: await plc.read_device_identification()
        """
    async def read_values(self, address: int, format: str, order: str = "ABCD",
                          func_code: int = 3) -> list[Any]:
        """Read the values of a struct-like format from holding (3) or input (4) registers.

        Example: await plc.read_values(100, "f Q", "CDAB")
        """
    async def write_values(self, address: int, format: str, values: Sequence[int | float | bytes | bytearray],
                           order: str = "ABCD") -> None:
        """Write the values of a struct-like format into holding registers (function code 16)."""
    @property
    def retries(self) -> int:
        """How many times a request that failed after it went out is sent again (0..100): a time-out, a
        closed connection, a damaged or mismatched answer; never a slave's exception answer."""
    @retries.setter
    def retries(self, value: int) -> None: ...
    @property
    def reconnect(self) -> bool:
        """Open a new connection for the next call once the old one closed (True by default)."""
    @reconnect.setter
    def reconnect(self, value: bool) -> None: ...
    async def diagnostics(self, sub_function: int, data: bytes = b"") -> bytes:
        """Function code 8, sub-function `sub_function` with `data`: the data of the answer.

        Example: await plc.diagnostics(0, b"\\x12\\x34") == b"\\x12\\x34"
        """
    async def report_server_id(self) -> bytes:
        """Function code 17: the server id and what follows it in the answer."""
    async def read_file_record(self, requests: Sequence[tuple[int, int, int]]) -> list[list[int]]:
        """Function code 20: for each (file, record, count) the registers read."""
    async def write_file_record(self, requests: Sequence[tuple[int, int, Sequence[int]]]) -> None:
        """Function code 21: for each (file, record, values) the registers written."""
    async def read_fifo_queue(self, address: int) -> list[int]:
        """Function code 24: the registers of the FIFO queue at address."""
    async def execute(self, function_code: int, data: bytes,
                      length: int | Callable[[bytes], int] | None = None) -> bytes:
        """A raw request: function_code and data; the answer's data (length: as ModbusTCPMaster.execute)."""
    @property
    def trace(self) -> Callable[[TrafficRecord], object] | None:
        """The traffic trace: None (the default) or a callable given one TrafficRecord per frame.

        As ModbusTCPMaster.trace: a "sent" record when a request goes out and a "received" record
        when its exchange ends (the bytes that came for it, and the outcome), each with its own
        request's station and function code however many are in flight. A call takes the trace of
        its moment. The trace never changes what a call returns or raises: an exception of the
        callable is reported through sys.unraisablehook. Off, it costs nothing.
        Example: master.trace = records.append
        """
    @trace.setter
    def trace(self, value: Callable[[TrafficRecord], object] | None) -> None: ...

class ModbusTimeoutError(ModbusError, TimeoutError):
    """No answer, or not all of it, came within the time-out.

    RTU: "modbus: read from slave timeout" (an OSError before); TCP: "timed out" (a TimeoutError before).
    Example: except ModbusTimeoutError: print("no answer")
    """

class FrameError(ModbusError, ValueError, AssertionError):
    """A damaged answer: a wrong CRC ("modbus: message from slave with station 1 has crc error", a
    ValueError before) or a malformed Modbus TCP answer ("Feedback for reading device identification
    invalid", an AssertionError before)."""

class MismatchError(ModbusError, OSError, ValueError, AssertionError):
    """An answer that does not belong to the request: another station, function, count, echo or
    transaction.

    RTU: "modbus: answer from slave with station 1 does not match the request" (a ValueError
    before); TCP: "Received data header invalid from ('host', 502)" (an OSError before), "Data length
    not match with needed", "ModbusTCP error code: 0x4", "Write coil address [7] to ('host', 502)
    failed." and the like (AssertionErrors before).
    """

class ConnectionClosedError(ModbusError, ConnectionError):
    """The Modbus TCP slave closed the connection: "Connection closed by ('host', 502)" (a
    ConnectionError before)."""

class MasterClosedError(ModbusError, OSError):
    """A ModbusTCPMaster used after close(): the socket's own error, "[Errno 9] Bad file
    descriptor" with errno 9 (an OSError before). A closed master never reconnects."""

@final
class TrafficRecord(structseq[Any], tuple[str, bytes, float, int, int, str | None]):
    """One frame of a master's traffic, as its trace callable gets it (a named tuple).

    direction: "sent" or "received"; data: the bytes as they went out or came in (for an
    answer, all that came for the request: last_feedback_received); time: seconds of
    time.monotonic() when the record was made; station and function: the request's station
    (unit identifier on Modbus TCP) and function code; outcome: None for a request, for an
    answer "answer", "refusal", "timeout", "frame", "mismatch", "connection closed",
    "master closed", "broadcast" (nothing is due) or "other".
    Example: for r in records: print(r.direction, r.data.hex(" "), r.outcome)
    """

    __match_args__: Final = ("direction", "data", "time", "station", "function", "outcome")

    @property
    def direction(self) -> str:
        """'sent' or 'received'."""
    @property
    def data(self) -> bytes:
        """The frame's bytes."""
    @property
    def time(self) -> float:
        """Seconds of time.monotonic() when the record was made."""
    @property
    def station(self) -> int:
        """The request's station (unit identifier on Modbus TCP)."""
    @property
    def function(self) -> int:
        """The request's function code."""
    @property
    def outcome(self) -> str | None:
        """None for a request; for an answer how the exchange ended."""

def log_traffic(master: Master | FixMaster | ModbusTCPMaster | AsyncModbusTCPMaster, logger: Any = None) -> None:
    """Log the traffic of master: set its trace to a callable that logs each record at DEBUG.

    logger: a logging.Logger, or None for logging.getLogger("brel_modbus"). Each line shows the
    direction, the frame in hexadecimal as last_command_sent_hex shows it, the station, the
    function code, the monotonic time and, for an answer, the outcome:
    "received 01 03 04 00 01 00 02 2A 32 (station 1, function 3, at 812.402113): answer".
    Example: logging.basicConfig(level=logging.DEBUG); log_traffic(master)
    """

class TcpChannel:
    """RTU frames over a TCP connection to a serial server: the channel of an rtu+tcp:// port.

    create_serial_instance returns one for Master("rtu+tcp://host:port", ...); a Master drives it
    without pyserial and without the interpreter's calls. Like a serial port, read returns fewer
    bytes when the time-out runs out; there is no silent interval (the server times its line), but
    a frame after a broadcast (station 0) waits broadcast_delay seconds, as on a serial line. A
    server that closes the connection makes the read that meets it raise ConnectionError; the next
    write connects again.
    """

    def __init__(self, host: str, port: int, timeout: float, broadcast_delay: float = 0.1) -> None:
        """Connect to host:port (socket.create_connection, waiting at most `timeout` seconds).

        Raises: the OSError of the connection (ConnectionRefusedError, TimeoutError, ...);
        ValueError for a negative time-out or broadcast_delay.
        Example: channel = TcpChannel("127.0.0.1", 5020, 1.0)
        """
    def read(self, size: int = 1) -> bytes:
        """Up to `size` bytes: those received, waiting at most the time-out for the rest.

        Raises: ConnectionError "Connection closed by (host, port)" when the server has closed
        the connection while this read waited and nothing is left unread (later reads find
        nothing until the next write connects again); OSError once the channel is closed.
        """
    def write(self, data: Any) -> int:
        """Send all of `data` (bytes or any buffer) at once; returns the byte count.

        Connects again first when the server had closed the connection.
        """
    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read."""
    @property
    def is_open(self) -> bool:
        """False once close() was called."""
    def close(self) -> None:
        """Close the connection; a second call does nothing."""
    @property
    def timeout(self) -> float:
        """Seconds a read waits (0: only what has arrived)."""
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    @property
    def address(self) -> tuple:
        """(host, port) of the server."""
    @property
    def broadcast_delay(self) -> float:
        """Seconds the next frame waits after a broadcast."""
    def __enter__(self) -> TcpChannel:
        """The channel itself."""
    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> None:
        """Close the channel."""

class ModbusUDPMaster(ModbusTCPMaster):
    """Modbus over UDP: ModbusTCPMaster's members, one datagram per request and per answer.

    Requests are MBAP framed as on TCP. The answer is the first datagram within the time-out
    that carries the request's transaction identifier and a whole frame; late answers,
    duplicates and other stray datagrams are dropped while the call keeps waiting, and
    datagrams from another address or port never reach it (the socket is connected).
    Time-out and `retries` work as on TCP; there is no connection to lose.
    """

    def __init__(self, host: str, port: int, timeout: float, station: int = 1) -> None:
        """A UDP socket connected to host:port (the first address getaddrinfo gives).

        Raises: OverflowError for a station outside 0..255; the socket's OSError for a host
        that does not resolve. Nothing is sent before the first request: a slave that does
        not listen shows as ConnectionRefusedError or a time-out then.
        Example: master = ModbusUDPMaster("127.0.0.1", 5020, 1.0)
        """

def tls_context(cafile: str | None = None, certfile: str | None = None, keyfile: str | None = None,
                verify: bool = True) -> ssl.SSLContext:
    """A client context for Modbus/TCP Security: TLS 1.2 or later.

    verify=True checks the server's certificate (against cafile, or the system's
    authorities when cafile is None) and its host name; verify=False checks neither (for a
    test bench only). certfile (with keyfile when the key is apart) is this client's own
    certificate, for servers that ask for one (mutual authentication, as the standard
    requires: the server reads the client's role from it).
    Raises: OSError for a file that cannot be read, ssl.SSLError for one that holds no
    certificate or key; ValueError for a keyfile without a certfile.
    Example: ModbusTCPMaster("127.0.0.1", 802, 2.0, ssl_context=tls_context("ca.pem", "me.pem", "me.key"))
    """

def certificate_role(cert: str | bytes | os.PathLike) -> str | None:
    """The Modbus role of a certificate (extension 1.3.6.1.4.1.50316.802.1), None when it has none.

    cert: a path to a PEM or DER file, PEM text, or DER bytes.
    Raises: ValueError when cert is no certificate or its role extension holds no string;
    OSError for a file that cannot be read.
    Example: certificate_role("operator.pem") == "Operator"
    """

class AsciiChannel:
    """Modbus ASCII framing over a serial channel: what Master(..., framing="ascii") talks through.

    The master builds, checks and records RTU frames as ever; this channel writes each one as
    ':', the station and PDU in upper-case hex pairs, their LRC, CR LF, and hands each ASCII
    answer back as the RTU frame it stands for. A frame that is not sound raises, and nothing
    of it is decoded: ValueError "modbus: message from slave with station N has lrc error"
    for a wrong LRC (the CRC error's text), ValueError "modbus ascii: ..." for a character that
    is no hex digit, an odd count of digits, CR without LF; OSError "modbus ascii: more than
    1 s between two characters of the answer" (the standard's limit, whatever the time-out).
    """

    def __init__(self, line: Any) -> None:
        """Frame in ASCII on `line`, a serial channel (what create_serial_instance returns)."""
    def read(self, size: int = 1) -> bytes:
        """Up to `size` bytes of the RTU form of the answers: each ASCII frame read whole."""
    def write(self, data: Any) -> int:
        """Send the RTU frame `data` (its CRC left off) as one ASCII frame; returns len(data)."""
    @property
    def in_waiting(self) -> int:
        """Bytes of frames read and not yet taken; characters waiting on the line are dropped."""
    @property
    def is_open(self) -> Any:
        """The line's is_open."""
    def close(self) -> None:
        """Close the line, if it is open."""
    @property
    def timeout(self) -> Any:
        """The line's time-out (an answer must begin within it)."""
    @timeout.setter
    def timeout(self, value: Any) -> None: ...
    @property
    def line(self) -> Any:
        """The serial channel underneath."""
    def __enter__(self) -> AsciiChannel:
        """The channel itself."""
    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> None:
        """Close the line."""

class AsyncMaster:
    """Modbus RTU master for asyncio: Master's data model on an asyncio connection, each operation a coroutine.

    Each operation checks its arguments and builds its request frame at the call, as Master
    does (the same bytes; a bad argument raises there, before anything is queued), and returns
    an asyncio Future for its result: `await rtu.read_registers(1, 0, 4)`. The names,
    parameters, defaults, results, exceptions and texts are those of Master. One request is
    on the line at a time; calls made concurrently go out in the order they were made, but a
    write goes before the reads that wait. A call cancelled on the line (task.cancel(),
    asyncio.timeout()) leaves its request there until its answer has come or its time-out has
    passed, and that answer is dropped: the next call never takes it. After a call that ended
    without a sound answer the next one waits for a line quiet for the time-out, as on Master.
    The line is a device (its descriptor watched by the running loop, the silent interval
    kept between frames) or a serial server over TCP (rtu+tcp://host:port or
    socket://host:port, whose connection opens on the first call, in `async with`, or by
    `await connect()`).
    Example: async with AsyncMaster("rtu+tcp://127.0.0.1:4001", 19200, 0.5) as rtu: await rtu.read_registers(1, 0, 4)
    """

    def __init__(self, port: str, baudrate: int, timeout: float, **kwargs: Any) -> None:
        """Make the master for `port`.

        Args: port, a device path (opened now by create_serial_instance with a time-out of 0,
        and watched by the running loop from the first call) or rtu+tcp://host:port or
        socket://host:port (opened on first use by the running loop's create_connection;
        pyserial's options after "?" are left aside); baudrate, which sets the silent interval
        on a device; timeout, seconds for each answer (and for opening a connection); kwargs,
        the channel's settings of a device's line (parity, bytesize, stopbits, ...), which a
        serial server over TCP does not use, and broadcast_delay (seconds of quiet line after a
        frame to station 0, 0.1 unless told otherwise), which both use.
        Raises: what Master raises when the device cannot be opened; ValueError for a port
        without a file descriptor (loop://, rfc2217://), a serial server URL without its port,
        a timeout that is not above 0, a negative broadcast_delay, framing="ascii" (Master's
        alone), or rs485 switched by the channel (it holds RTS until the frame has left the
        line with sleeps, which the loop must not do). With echo=True the echo of each
        request is read back and compared before its answer, with the channel's OSError
        ("serial echo: ...") when it is not the request.
        """
    async def connect(self) -> None:
        """Open the connection now (it opens on first use otherwise).

        Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when it cannot be opened;
        ConnectionError after close().
        """
    async def close(self) -> None:
        """Close the connection; calls still waiting fail with ConnectionError. A closed master is never reopened."""
    async def aclose(self) -> None:
        """The same as close()."""
    async def __aenter__(self) -> AsyncMaster:
        """Open the connection; the master itself, for an async with block that closes it."""
    async def __aexit__(self, exc_type: type[BaseException] | None, exc_val: BaseException | None,
                        exc_tb: TracebackType | None) -> None:
        """Close the connection (an exception raised in the block passes on)."""
    @property
    def transport(self) -> Any:
        """The asyncio transport of the open connection, None while there is none."""
    @property
    def last_command_sent(self) -> bytes:
        """The last request frame sent, CRC included."""
    @property
    def last_feedback_received(self) -> bytes:
        """The last answer received, or what arrived of it before a failure."""
    @property
    def last_command_sent_hex(self) -> str:
        """last_command_sent as upper-case hexadecimal bytes separated by spaces ("01 03 00 00 00 02 C4 0B")."""
    @property
    def last_feedback_received_hex(self) -> str:
        """last_feedback_received as upper-case hexadecimal bytes separated by spaces."""
    @property
    def timeout(self) -> float:
        """The time-out of each answer, in seconds (None: none); settable as on Master.

        The setter checks the value as Master's channel on the same port does, with its texts:
        pyserial's for a device and for socket:// (ValueError "Not a valid timeout: ..."; None
        waits without end, 0 ends a call that has no answer at once), the TCP channel's for
        rtu+tcp:// (a finite number, 0 or more). The call on the line keeps the time-out it
        was sent with; while no recovery_delay was set, the recovery delay follows it.
        Example: rtu.timeout = 0.25
        """
    @timeout.setter
    def timeout(self, value: float) -> None: ...
    async def write_register(self, station: int, address: int, value: int) -> None:
        """Write one holding register (function code 6) and check the echo.

        Example: await rtu.write_register(1, 200, 1234)
        """
    async def write_registers(self, station: int, address: int, values: Sequence[int]) -> None:
        """Write consecutive holding registers (function code 16), at most 127 values.

        Example: await rtu.write_registers(1, 201, [1, 2, 3])
        """
    async def write_coil(self, station: int, address: int, value: object) -> None:
        """Write one coil (function code 5): on when value is true, off otherwise."""
    async def read_register(self, station: int, address: int, func_code: int = 3) -> int:
        """Read one register (code 3, or 4 for an input register)."""
    async def read_registers(self, station: int, address: int, count: int, func_code: int = 3) -> list[int]:
        """Read count consecutive registers (code 3, or 4 for input registers), at most 125.

        Example: await rtu.read_registers(1, 0, 4)
        """
    async def read_input_register(self, station: int, address: int) -> int:
        """Read one input register (function code 4)."""
    async def read_input_registers(self, station: int, address: int, count: int) -> list[int]:
        """Read count consecutive input registers (function code 4)."""
    async def read_int16(self, station: int, address: int) -> int:
        """Read one holding register as a signed 16-bit int (-32768..32767)."""
    async def read_uint16(self, station: int, address: int, func_code: int = 3) -> int:
        """The same member as read_register: one register as an unsigned 16-bit int."""
    async def write_int16(self, station: int, address: int, value: int) -> None:
        """The same member as write_register: the value is sent as its low 16 bits (-2 as FF FE)."""
    async def write_uint16(self, station: int, address: int, value: int) -> None:
        """The same member as write_register."""
    async def read_uint32(self, station: int, address: int, endian: str = ">") -> int:
        """Read an unsigned 32-bit int from two holding registers.

        Args: endian, ">" for the high word first (ABCD), any other text for the low word first (CDAB).
        """
    async def read_int32(self, station: int, address: int, endian: str = ">") -> int:
        """Read a signed 32-bit int from two holding registers; endian as for read_uint32."""
    async def read_float(self, station: int, address: int, endian: str = ">") -> float:
        """Read a single-precision float from two holding registers; endian as for read_uint32."""
    async def read_multi_uint32(self, station: int, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count unsigned 32-bit ints (two registers each) in one request."""
    async def read_multi_int32(self, station: int, address: int, count: int, endian: str = ">") -> list[int]:
        """Read count signed 32-bit ints (two registers each) in one request."""
    async def read_multi_float(self, station: int, address: int, count: int, endian: str = ">") -> list[float]:
        """Read count single-precision floats (two registers each) in one request."""
    async def write_int32(self, station: int, address: int, value: int, endian: str = ">") -> None:
        """Write a signed 32-bit int to two holding registers (code 16); endian as for read_uint32."""
    async def write_uint32(self, station: int, address: int, value: int, endian: str = ">") -> None:
        """Write an unsigned 32-bit int to two holding registers (code 16)."""
    async def write_float(self, station: int, address: int, value: float, endian: str = ">") -> None:
        """Write a single-precision float to two holding registers (code 16)."""
    async def write_multi_int32(self, station: int, address: int, values: Iterable[int], endian: str = ">") -> None:
        """Write signed 32-bit ints (two registers each) in one request (code 16)."""
    async def write_multi_uint32(self, station: int, address: int, values: Iterable[int],
                                 endian: str = ">") -> None:
        """Write unsigned 32-bit ints (two registers each) in one request (code 16)."""
    async def write_multi_float(self, station: int, address: int, values: Iterable[float],
                                endian: str = ">") -> None:
        """Write single-precision floats (two registers each) in one request (code 16), at most 63."""
    async def read_coil(self, station: int, address: int) -> bool:
        """Read one coil (function code 1)."""
    async def read_coils(self, station: int, address: int, count: int) -> list[bool]:
        """Read count consecutive coils (function code 1)."""
    async def read_input_coils(self, station: int, address: int, count: int) -> list[bool]:
        """Read count consecutive discrete inputs (function code 2)."""
    async def write_coils(self, station: int, address: int, values: Sequence[object]) -> None:
        """Write 1 to 1968 consecutive coils from truth values (function code 15)."""
    async def mask_write_register(self, station: int, address: int, and_mask: int, or_mask: int) -> None:
        """Set a holding register to (value AND and_mask) OR (or_mask AND NOT and_mask) (function code 22)."""
    async def read_write_registers(self, station: int, read_address: int, read_count: int, write_address: int,
                                   values: Sequence[int]) -> list[int]:
        """Write values from write_address, then read read_count registers from read_address (function code 23)."""
    async def read_device_identification(self, station: int, read_code: int = 1,
                                         object_id: int = 0) -> dict[int, bytes]:
        """Read the device identification objects (function code 43/14), page after page.

        Each page is a request of its own in the line's queue.
        """
    async def read_values(self, station: int, address: int, format: str, order: str = "ABCD",
                          func_code: int = 3) -> list[Any]:
        """Read typed values laid out by format from consecutive registers (code 3 or 4), as Master.read_values.

        Example: await rtu.read_values(1, 300, "f Q", "CDAB")
        """
    async def write_values(self, station: int, address: int, format: str, values: Sequence[Any],
                           order: str = "ABCD") -> None:
        """Write typed values laid out by format to consecutive holding registers (code 16), as Master.write_values."""
    @property
    def retries(self) -> int:
        """How many times a failed request is sent again (0 to 100, default 0); settable.

        A time-out, CRC error, mismatched answer or broken connection is retried (the request
        goes in the line's queue again); a SlaveException, a broadcast and an argument
        refused at the call are not. A call takes the retries of its moment.
        """
    @retries.setter
    def retries(self, value: int) -> None: ...
    @property
    def recovery_delay(self) -> float:
        """Seconds of quiet line awaited before the request that follows a failure; settable.

        0 turns the wait off; setting None follows the time-out (the default). A request made
        while a failed one waits for its quiet line waits with it.
        """
    @recovery_delay.setter
    def recovery_delay(self, value: float | None) -> None: ...
    async def read_exception_status(self, station: int) -> int:
        """The eight exception status outputs as one int (function code 7)."""
    async def diagnostics(self, station: int, sub_function: int, data: bytes = b"") -> bytes:
        """A diagnostics request (function code 8): the data part of the answer."""
    async def get_comm_event_counter(self, station: int) -> tuple[int, int]:
        """The status word and the event count (function code 11)."""
    async def get_comm_event_log(self, station: int) -> tuple[int, int, int, bytes]:
        """The status word, event count, message count and events (function code 12)."""
    async def report_server_id(self, station: int) -> bytes:
        """The server id and what follows it (function code 17)."""
    async def read_file_record(self, station: int, requests: Sequence[tuple[int, int, int]]) -> list[list[int]]:
        """Read file records (function code 20), as Master.read_file_record."""
    async def write_file_record(self, station: int, requests: Sequence[tuple[int, int, Sequence[int]]]) -> None:
        """Write file records (function code 21), as Master.write_file_record."""
    async def read_fifo_queue(self, station: int, address: int) -> list[int]:
        """The registers of the FIFO queue at address (function code 24)."""
    async def execute(self, station: int, function_code: int, data: bytes,
                      length: int | Callable[[bytes], int] | None = None) -> bytes:
        """A raw request (function code and data); the data part of the answer, as Master.execute.

        length as on Master: an int, or a callable read over the answer. An answer whose length
        only the callable tells is judged once the line has gone quiet after its last byte (the
        silent interval on a device, 20 ms over a serial server): what came is the answer, and
        the callable's length must be its length (shorter: the time-out, longer: the CRC error,
        as Master reads it). Raises: ValueError at the call, as Master, for a function code of
        no public size rule without a length.
        """
    @property
    def trace(self) -> Callable[[TrafficRecord], object] | None:
        """The traffic trace: None (the default) or a callable given one TrafficRecord per frame.

        As Master.trace: a "sent" record when a request goes out and a "received" record when
        its exchange ends (the bytes that came for it, and the outcome). A call takes the trace
        of its moment; a cancelled call's ending is not told. The trace never changes what a
        call returns or raises: an exception of the callable is reported through
        sys.unraisablehook. Off, it costs nothing.
        Example: rtu.trace = records.append
        """
    @trace.setter
    def trace(self, value: Callable[[TrafficRecord], object] | None) -> None: ...
    @property
    def serial(self) -> Any:
        """The channel of a device, as Master.serial (from create_serial_instance, opened with a
        time-out of 0 for reads that never block); None for a serial server over TCP, whose
        connection is `transport`.
        """
    @property
    def reconnect(self) -> bool:
        """Whether the call after a lost line opens it again (True by default); settable.

        A device that went away (unplugged, its line hung up) fails the calls on it with
        ConnectionError, then the next call opens its path again with the settings it was
        first opened with (failing as Master's constructor does while the device is missing);
        a serial server's closed connection is opened again. Off, the master stays closed.
        Example: rtu.reconnect = False
        """
    @reconnect.setter
    def reconnect(self, value: bool) -> None: ...


class AsyncPoller:
    """Reads the points of many asyncio masters (AsyncMaster, AsyncModbusTCPMaster) at once: each
    master's points are merged into few requests as Poller merges them, and the masters are
    read side by side on the running event loop, one request on each at a time.

    A station that does not answer costs only its own master its time-outs: a failure ends its
    pass (its other requests are not sent, their points get the same failure), after
    max_failures failed passes in a row it is down, and tried again by one request per back-off (from its
    shortest period, doubling up to max_backoff), its points given its last failure meanwhile.
    Refusals are learned as Poller learns them (holes cut out, block limits found), and gateway
    exceptions 10 and 11 count as the unit being down.
    Example: poller = AsyncPoller(); poller.add(plc, "level", 1, "holding", 4, "f")
    """

    def __init__(self, max_gap: int | str = 16, max_bit_gap: int = 256, *, max_failures: int = 3,
                 max_backoff: float = 60.0, learned: list | None = None) -> None:
        """Make an empty poller.

        Args: max_gap, the most unused registers read to merge two points, or "auto": each
        master's gap follows its round trips (on the loop's clock) as Poller's does; max_bit_gap,
        the same for coils and discrete inputs; max_failures, the failed passes in a row
        (time-outs, CRC errors, mismatches, lost connections, gateway exceptions 10 and 11: a
        failure ends the station's pass and counts once) that mark a station down; max_backoff,
        the longest wait in seconds between two tries of a station that is down; learned, a list
        as the learned property gives it, one Poller-shaped dict per master in the order the
        masters are first added.
        Raises: ValueError for a negative gap, a max_gap text other than "auto", max_failures
        below 1, a max_backoff that is not a positive number, or an entry of learned out of
        range; TypeError for a learned that is not a list of dicts as Poller.learned gives them.
        Example: poller = AsyncPoller(max_gap="auto", learned=json.load(file))
        """
    def add(self, master: AsyncMaster | AsyncModbusTCPMaster, name: str, station: int, table: str, address: int,
            format: str = "H", order: str = "ABCD", period: float = 1.0) -> None:
        """Add a point read through `master`: a value of `format` (registers) or one bit at `address`
        of `table` ('holding', 'input', 'coil', 'discrete') of `station`, read every `period` seconds.

        Raises: TypeError for a master that is not an AsyncMaster or AsyncModbusTCPMaster;
        ValueError for a repeated name (over all masters), an unknown table, a bad format or
        order, a period that is not positive, a point past address 65535, station 0 on an
        AsyncMaster, or a station other than an AsyncModbusTCPMaster's own; OverflowError for a
        station outside 0..255 or an address outside 0..65535.
        Example: poller.add(plc, "level", 1, "holding", 4, "f")
        """
    async def poll(self) -> dict[str, Any]:
        """One pass over every due request of every master, the masters side by side: name -> value,
        or the exception of the point's failed request.

        Cancelled, the requests under way are cancelled and nothing of them is counted.
        Raises: RuntimeError while another pass of this poller (poll() or run()) is under way.
        Example: values = await poller.poll()
        """
    def run(self, duration: float | None = None) -> AsyncIterator[dict[str, Any]]:
        """An async iterator of readings: each master's passes follow its points' periods, and each
        pass that ends is one reading (name -> value | exception, that master's points due then);
        stops after `duration` seconds from its first step (None: never).

        A master slowed by a station that does not answer delays no other master's readings.
        Cancelling the step that waits (or the iterator's aclose()) ends the run and cancels the
        requests under way. One run at a time: its first step raises RuntimeError while another
        pass of this poller is under way.
        Raises: ValueError for a negative duration.
        Example: async for values in poller.run(duration=10.0): print(values)
        """
    def plan(self) -> list[tuple[AsyncMaster | AsyncModbusTCPMaster, int, str, int, int, list[str]]]:
        """The requests a pass sends: (master, station, table, address, count, [names])."""
    @property
    def stats(self) -> dict[AsyncMaster | AsyncModbusTCPMaster, dict[int, dict[str, int | float | str | None]]]:
        """Figures per master and station: {master: {station: {name: figure}}}, as Poller.stats gives
        them (rtt, last_success and backoff in seconds of the event loop's clock)."""
    async def write(self, name: str, value: Any) -> None:
        """Write a point's value (its format and order) through its master: write_registers (function
        code 16) for a holding register point, write_coil (function code 5) for a coil point. The
        master sends it before the reads that wait, so it goes out before the poller's next read
        on that master; it returns when written, or raises as the master does.

        Raises: KeyError for an unknown name; ValueError for an input register or discrete input
        point, or a value its format cannot hold; TypeError for a value of the wrong type.
        Example: await poller.write("setpoint", 21.5)
        """
    @property
    def learned(self) -> list[dict[str, dict[str, dict[str, Any]]]]:
        """What was learned of each master's stations, as plain data json.dumps takes: one dict per
        master in the order the masters were first added, each as Poller.learned gives it
        (station -> table -> cuts, max_block, largest_read, smallest_refused), then the entries
        given to the constructor for masters not added yet.
        Example: json.dump(poller.learned, file)
        """

__version__: str
"""The version of the installed distribution."""
