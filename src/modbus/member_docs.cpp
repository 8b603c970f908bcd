// The reference texts that the class builder gives members without a docstring of their own.
// Made by tools/make_reference.py from stubs/brel_modbus.pyi: edit the stub, then run the script.
#include "module/class_builder.hpp"

#include <cstring>

namespace brel {
namespace {

bool same(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }

struct ReferenceText {
    const char* owner;  // class name; "" for the module
    const char* key;    // member key; "" for the class (or module) itself
    const char* text;
};

// clang-format off
constexpr ReferenceText texts[] = {
    {"", "log_traffic",
     "Log the traffic of master: set its trace to a callable that logs each record at DEBUG.\n"
     "\n"
     "logger: a logging.Logger, or None for logging.getLogger(\"brel_modbus\"). Each line shows the\n"
     "direction, the frame in hexadecimal as last_command_sent_hex shows it, the station, the\n"
     "function code, the monotonic time and, for an answer, the outcome:\n"
     "\"received 01 03 04 00 01 00 02 2A 32 (station 1, function 3, at 812.402113): answer\".\n"
     "Example: logging.basicConfig(level=logging.DEBUG); log_traffic(master)"},
    {"", "tls_context",
     "A client context for Modbus/TCP Security: TLS 1.2 or later.\n"
     "\n"
     "verify=True checks the server's certificate (against cafile, or the system's\n"
     "authorities when cafile is None) and its host name; verify=False checks neither (for a\n"
     "test bench only). certfile (with keyfile when the key is apart) is this client's own\n"
     "certificate, for servers that ask for one (mutual authentication, as the standard\n"
     "requires: the server reads the client's role from it).\n"
     "Raises: OSError for a file that cannot be read, ssl.SSLError for one that holds no\n"
     "certificate or key; ValueError for a keyfile without a certfile.\n"
     "Example: ModbusTCPMaster(\"127.0.0.1\", 802, 2.0, ssl_context=tls_context(\"ca.pem\", \"me.pem\", \"me.key\"))"},
    {"", "certificate_role",
     "The Modbus role of a certificate (extension 1.3.6.1.4.1.50316.802.1), None when it has none.\n"
     "\n"
     "cert: a path to a PEM or DER file, PEM text, or DER bytes.\n"
     "Raises: ValueError when cert is no certificate or its role extension holds no string;\n"
     "OSError for a file that cannot be read.\n"
     "Example: certificate_role(\"operator.pem\") == \"Operator\""},
    {"ModbusStatic", "split_register",
     "Split a 16-bit register value into its (high byte, low byte).\n"
     "\n"
     "Args: value, an int; only its low 16 bits count.\n"
     "Returns: (high, low), each 0..255.\n"
     "Example: ModbusStatic.split_register(0x1234) == (0x12, 0x34)"},
    {"ModbusStatic", "compound_register",
     "Join a high byte and a low byte into one 16-bit register value: high * 256 + low.\n"
     "\n"
     "Args: high, low: the two bytes as ints.\n"
     "Returns: the register value.\n"
     "Example: ModbusStatic.compound_register(0x12, 0x34) == 0x1234"},
    {"ModbusStatic", "calculate_crc",
     "The CRC-16/MODBUS of string[beg:end], as the two bytes an RTU frame ends with.\n"
     "\n"
     "Args: string, bytes or a sequence of byte values; beg, end: the slice (None: the end).\n"
     "Returns: (first byte, second byte) of the CRC, in wire order (low byte first).\n"
     "Example: ModbusStatic.calculate_crc(b\"\\x01\\x03\\x00\\x00\\x00\\x01\") == (0x84, 0x0A)"},
    {"ModbusStatic", "crc_is_right",
     "Whether an RTU frame ends with the right CRC of the bytes before it.\n"
     "\n"
     "Args: string, the whole frame (bytes or a sequence of byte values), CRC included.\n"
     "Returns: True when the last two bytes are the CRC of the others.\n"
     "Example: ModbusStatic.crc_is_right(b\"\\x01\\x03\\x00\\x00\\x00\\x01\\x84\\x0a\") is True"},
    {"ModbusError", "",
     "Any failure of a Modbus exchange: the base of the library's errors.\n"
     "\n"
     "Each kind of failure has its class, which is also the built-in type raised for it before the\n"
     "family existed, with the same text: ModbusTimeoutError (a TimeoutError, so an OSError),\n"
     "FrameError (a ValueError and an AssertionError), MismatchError (an OSError, a ValueError and an\n"
     "AssertionError), TCPSlaveException (a TCP refusal), ConnectionClosedError (a ConnectionError)\n"
     "and MasterClosedError (an OSError). SlaveException, a serial slave's refusal, keeps Exception as\n"
     "its only base: except (ModbusError, SlaveException) catches every Modbus failure. Arguments\n"
     "refused before anything is sent (TypeError, OverflowError, ValueError) are not Modbus failures\n"
     "and stay plain Python errors.\n"
     "Example: except ModbusError as e: print(type(e).__name__, e)"},
    {"SlaveException", "__init__",
     "Keep station, function code and exception code as attributes and as the exception's args."},
    {"SlaveException", "__str__",
     "A text that names the station, the function code and the exception code.\n"
     "\n"
     "Example: \"modbus slave reports an exception. station: 1, function code: 2, error code: 3\""},
    {"Master", "__init__",
     "Open the serial channel: create_serial_instance(port, baudrate, timeout, **kwargs).\n"
     "\n"
     "Args: port, a device or pyserial URL, or rtu+tcp://host:port (RTU over TCP through the\n"
     "library's TcpChannel, without pyserial); baudrate; timeout in seconds (each read of an\n"
     "answer waits at most that long); kwargs reach the channel and pyserial (parity,\n"
     "bytesize, stopbits, broadcast_delay, echo, rs485, low_latency, ...), but for\n"
     "framing=\"ascii\" (Modbus ASCII through an AsciiChannel over the channel; \"rtu\", the\n"
     "default, frames in RTU), which the master keeps.\n"
     "Raises: OSError when the port cannot be opened or set up; ValueError for another framing."},
    {"Master", "serial",
     "The serial channel object the master reads and writes (from create_serial_instance)."},
    {"Master", "last_command_sent",
     "The last request frame sent, CRC included."},
    {"Master", "last_feedback_received",
     "The last answer received, or what arrived of it before a failure."},
    {"Master", "last_command_sent_hex",
     "last_command_sent as upper-case hexadecimal bytes separated by spaces (\"01 03 00 00 00 02 C4 0B\")."},
    {"Master", "last_feedback_received_hex",
     "last_feedback_received as upper-case hexadecimal bytes separated by spaces."},
    {"Master", "close",
     "Close the serial channel."},
    {"Master", "__enter__",
     "Return the master itself, for a with block that closes it."},
    {"Master", "__exit__",
     "Close the master; exceptions of the with block go on."},
    {"Master", "timeout",
     "The time-out of each read of an answer, in seconds (the channel's); settable."},
    {"Master", "write_register",
     "Write one holding register (function code 6) and check the echo.\n"
     "\n"
     "Args: value, sent as its low 16 bits.\n"
     "Example: master.write_register(1, 200, 1234)"},
    {"Master", "write_registers",
     "Write consecutive holding registers (function code 16), at most 127 values.\n"
     "\n"
     "Raises: ValueError \"... register count must be less than 128\" for too many values.\n"
     "Example: master.write_registers(1, 201, [1, 2, 3])"},
    {"Master", "send_write_register_request",
     "Send the request of write_register (code 6) without reading its answer."},
    {"Master", "send_write_registers_request",
     "Send the request of write_registers (code 16) without reading its answer."},
    {"Master", "write_coil",
     "Write one coil (function code 5): on when value is true, off otherwise.\n"
     "\n"
     "Example: master.write_coil(1, 5, True)"},
    {"Master", "send_write_coil_request",
     "Send the request of write_coil (code 5) without reading its answer."},
    {"Master", "read_int16",
     "Read one holding register as a signed 16-bit int (-32768..32767).\n"
     "\n"
     "Example: master.read_int16(1, 230) == -2"},
    {"Master", "read_uint32",
     "Read an unsigned 32-bit int from two holding registers.\n"
     "\n"
     "Args: endian, \">\" for the high word first (ABCD), any other text for the low word first (CDAB).\n"
     "Example: master.read_uint32(1, 212)"},
    {"Master", "read_int32",
     "Read a signed 32-bit int from two holding registers; endian as for read_uint32."},
    {"Master", "read_float",
     "Read a single-precision float from two holding registers; endian as for read_uint32.\n"
     "\n"
     "Example: master.read_float(1, 214)"},
    {"Master", "read_multi_uint32",
     "Read count unsigned 32-bit ints (two registers each) in one request."},
    {"Master", "read_multi_int32",
     "Read count signed 32-bit ints (two registers each) in one request."},
    {"Master", "read_multi_float",
     "Read count single-precision floats (two registers each) in one request."},
    {"Master", "write_int32",
     "Write a signed 32-bit int to two holding registers (code 16); endian as for read_uint32."},
    {"Master", "write_uint32",
     "Write an unsigned 32-bit int to two holding registers (code 16)."},
    {"Master", "write_float",
     "Write a single-precision float to two holding registers (code 16).\n"
     "\n"
     "Example: master.write_float(1, 214, 21.5)"},
    {"Master", "write_multi_int32",
     "Write signed 32-bit ints (two registers each) in one request (code 16)."},
    {"Master", "write_multi_uint32",
     "Write unsigned 32-bit ints (two registers each) in one request (code 16)."},
    {"Master", "write_multi_float",
     "Write single-precision floats (two registers each) in one request (code 16), at most 63."},
    {"Master", "send_read_registers_request",
     "Send the request of read_registers (code 3 or 4) without reading its answer."},
    {"Master", "send_read_input_registers_request",
     "Send the request of read_input_registers (code 4) without reading its answer."},
    {"Master", "read_coil",
     "Read one coil (function code 1).\n"
     "\n"
     "Example: master.read_coil(1, 5) is True"},
    {"Master", "read_coils",
     "Read count consecutive coils (function code 1).\n"
     "\n"
     "Example: master.read_coils(1, 0, 10)"},
    {"Master", "read_input_coils",
     "Read count consecutive discrete inputs (function code 2)."},
    {"Master", "send_read_coils_request",
     "Send the request of read_coils (code 1) without reading its answer."},
    {"Master", "send_read_input_coils_request",
     "Send the request of read_input_coils (code 2) without reading its answer."},
    {"Master", "write_coils",
     "Write 1 to 1968 consecutive coils from truth values (function code 15).\n"
     "\n"
     "Example: master.write_coils(1, 20, [True, False, True])"},
    {"Master", "mask_write_register",
     "Mask one register in the device (function code 22).\n"
     "\n"
     "The register becomes (register AND and_mask) OR (or_mask AND NOT and_mask).\n"
     "Example: master.mask_write_register(1, 430, 0x00F2, 0x0025)"},
    {"Master", "read_write_registers",
     "Write 1 to 121 registers, then read 1 to 125, in one transaction (function code 23).\n"
     "\n"
     "Returns: the registers read (after the write).\n"
     "Example: master.read_write_registers(1, 430, 2, 431, [7])"},
    {"Master", "read_device_identification",
     "Read the device identification (function code 43, MEI type 14), every page.\n"
     "\n"
     "Args: read_code 1 basic (vendor, product code, revision), 2 regular, 3 extended, 4 the\n"
     "one object object_id; object_id, the first object to read.\n"
     "Returns: {object id: bytes}.\n"
     "Example: master.read_device_identification(1)[0]  # the vendor name"},
    {"Master", "read_values",
     "Read the registers a format takes (at most 125) and decode them as decode_values does.\n"
     "\n"
     "Args: func_code 3 (holding) or 4 (input registers).\n"
     "Raises: ValueError \"modbus: func_code must be 3 or 4: 6\", or for a bad format or order,\n"
     "before anything is sent.\n"
     "Example: master.read_values(1, 400, \"2f h\", \"DCBA\")"},
    {"Master", "write_values",
     "Encode values as encode_values does and write them with function code 16 (at most 123 registers).\n"
     "\n"
     "Example: master.write_values(1, 400, \"2f h\", [21.5, -3.25, -40], \"DCBA\")"},
    {"Master", "retries",
     "How many times a failed request is sent again (0 to 100, default 0); settable.\n"
     "\n"
     "A time-out, CRC error, mismatched answer or broken connection is retried; a\n"
     "SlaveException, a broadcast and an argument refused before sending are not."},
    {"Master", "recovery_delay",
     "Seconds of quiet line awaited before the request that follows a failure; settable.\n"
     "\n"
     "0 turns the wait off; setting None follows the time-out."},
    {"Master", "read_exception_status",
     "Read the exception status (function code 7, serial line only): eight device-defined bits.\n"
     "\n"
     "Returns: the status byte, 0..255 (None for a broadcast, station 0).\n"
     "Example: master.read_exception_status(1) & 0x01"},
    {"Master", "diagnostics",
     "Run a diagnostics sub-function (function code 8, serial line only); its answer's data.\n"
     "\n"
     "Args: sub_function, 0..65535 (ModbusStatic.DIAG_...); data, the request's data field\n"
     "(at most 250 bytes); empty sends 00 00, the data of every standard sub-function.\n"
     "Returns: the answer's data after the sub-function: the echo, a counter (2 bytes, high\n"
     "first) or the diagnostic register; b\"\" for DIAG_FORCE_LISTEN_ONLY_MODE and a broadcast,\n"
     "which nobody answers.\n"
     "Raises: ValueError when the answer does not repeat the sub-function, is not as long\n"
     "as the request, or (return query data) does not repeat the data.\n"
     "Example: master.diagnostics(1, ModbusStatic.DIAG_RETURN_QUERY_DATA, b\"\\xa5\\x37\") == b\"\\xa5\\x37\""},
    {"Master", "get_comm_event_counter",
     "Read the communication event counter (function code 11, serial line only).\n"
     "\n"
     "Returns: (status, event count): status 0xFFFF while the device is busy with a command.\n"
     "Example: status, events = master.get_comm_event_counter(1)"},
    {"Master", "get_comm_event_log",
     "Read the communication event log (function code 12, serial line only).\n"
     "\n"
     "Returns: (status, event count, message count, events): events, at most 64 bytes, the\n"
     "most recent first.\n"
     "Example: status, events, messages, log = master.get_comm_event_log(1)"},
    {"Master", "report_server_id",
     "Report the server id (function code 17): the answer's data after its byte count.\n"
     "\n"
     "Returns: the device's id (its length is the device's), the run indicator byte (0x00\n"
     "off, 0xFF on) and any data the device adds.\n"
     "Example: master.report_server_id(1)"},
    {"Master", "read_file_record",
     "Read file records (function code 20): one register list per (file, record, length).\n"
     "\n"
     "Args: requests, (file 0..65535, record 0..9999, length in registers) each; the requests\n"
     "(7 bytes each) and their answers (2 bytes and the registers each) must each fit in\n"
     "245 bytes. Reference type 6 is sent.\n"
     "Raises: ValueError for a record beyond 9999 or requests that do not fit, before sending;\n"
     "ValueError when an answer's record lengths or reference types are not those asked for.\n"
     "Example: master.read_file_record(1, [(4, 1, 2), (3, 9, 2)])"},
    {"Master", "write_file_record",
     "Write file records (function code 21): (file, record, values) each, values 0..65535.\n"
     "\n"
     "Args: requests, whose 7 bytes and values each must fit in 251 bytes in all.\n"
     "Raises: ValueError when the answer does not repeat the request.\n"
     "Example: master.write_file_record(1, [(4, 7, [0x06AF, 0x04BE, 0x100D])])"},
    {"Master", "read_fifo_queue",
     "Read the FIFO queue whose pointer register is at address (function code 24).\n"
     "\n"
     "Returns: the queued values, at most 31.\n"
     "Raises: ValueError when the answer's byte count and FIFO count disagree or exceed 31.\n"
     "Example: master.read_fifo_queue(1, 0x04DE)"},
    {"Master", "execute",
     "Send one raw request (function_code, data) and return the data of its answer.\n"
     "\n"
     "Only the station, the function code (or an exception answer, raised as SlaveException)\n"
     "and the CRC are checked. How many answer bytes to read, since an RTU frame does not\n"
     "say: length None, the rule of a public function code (1 to 8, 11, 12, 15 to 17, 20 to\n"
     "24, 43/14; refused with ValueError before sending for any other code); an int, the\n"
     "answer's data length (1 to 252); a callable, given the answer so far (function code\n"
     "first) and returning how many more bytes it needs, 0 when it is whole.\n"
     "Args: function_code 1..127; data, at most 252 bytes.\n"
     "Returns: the answer after the function code; b\"\" for a broadcast (station 0).\n"
     "Example: master.execute(1, 0x41, b\"\\x00\", lambda pdu: 1 if len(pdu) < 2 else 2 + pdu[1] - len(pdu))"},
    {"Master", "trace",
     "The traffic trace: None (the default) or a callable given one TrafficRecord per frame.\n"
     "\n"
     "Each request gives a \"sent\" record when it has gone out and a \"received\" record when its\n"
     "exchange ends (all the bytes that came for it, and the outcome), so a retry shows as one\n"
     "more pair. The trace never changes what a call returns or raises: an exception of the\n"
     "callable is reported through sys.unraisablehook and the call goes on. Off, it costs nothing.\n"
     "Example: master.trace = records.append"},
    {"FixMaster", "__init__",
     "Make a Master(port, baudrate, timeout, **kwargs) and keep station for every call.\n"
     "\n"
     "kwargs include framing=\"ascii\" for Modbus ASCII (see Master).\n"
     "Raises: OSError when the port cannot be opened."},
    {"FixMaster", "master",
     "The Master that carries the calls; for everything FixMaster does not forward."},
    {"FixMaster", "serial",
     "The master's serial channel."},
    {"FixMaster", "last_command_sent",
     "The master's last request frame."},
    {"FixMaster", "last_feedback_received",
     "The master's last answer, or what arrived of it."},
    {"FixMaster", "last_command_sent_hex",
     "last_command_sent as upper-case hexadecimal bytes separated by spaces."},
    {"FixMaster", "last_feedback_received_hex",
     "last_feedback_received as upper-case hexadecimal bytes separated by spaces."},
    {"FixMaster", "station",
     "The station every call goes to; settable.\n"
     "\n"
     "Example: meter.station = 2"},
    {"FixMaster", "close",
     "Close the master's serial channel."},
    {"FixMaster", "__enter__",
     "Return the FixMaster itself, for a with block that closes it."},
    {"FixMaster", "__exit__",
     "Close the master; exceptions of the with block go on."},
    {"FixMaster", "timeout",
     "The master's time-out in seconds; settable."},
    {"FixMaster", "send_write_coil_request",
     "Master.send_write_coil_request at the station: the request only, no answer read."},
    {"FixMaster", "send_write_registers_request",
     "Master.send_write_registers_request at the station: the request only, no answer read."},
    {"FixMaster", "send_write_register_request",
     "Master.send_write_register_request at the station: the request only, no answer read."},
    {"FixMaster", "send_read_coils_request",
     "Master.send_read_coils_request at the station: the request only, no answer read."},
    {"FixMaster", "send_read_registers_request",
     "Master.send_read_registers_request at the station: the request only, no answer read."},
    {"FixMaster", "write_register",
     "Write one holding register (function code 6).\n"
     "\n"
     "Example: meter.write_register(250, 7)"},
    {"FixMaster", "write_registers",
     "Write consecutive holding registers (function code 16), at most 127 values."},
    {"FixMaster", "write_coil",
     "Write one coil (function code 5): on when value is true."},
    {"FixMaster", "read_register",
     "Read one holding register (function code 3)."},
    {"FixMaster", "read_coil",
     "Read one coil (function code 1)."},
    {"FixMaster", "read_coils",
     "Read count consecutive coils (function code 1)."},
    {"FixMaster", "read_int32",
     "Read a signed 32-bit int from two holding registers, high word first."},
    {"FixMaster", "read_uint32",
     "Read an unsigned 32-bit int from two holding registers, high word first."},
    {"FixMaster", "read_float",
     "Read a single-precision float from two holding registers, high word first."},
    {"FixMaster", "write_int32",
     "Write a signed 32-bit int to two holding registers, high word first."},
    {"FixMaster", "write_uint32",
     "Write an unsigned 32-bit int to two holding registers, high word first."},
    {"FixMaster", "read_int16",
     "Read one holding register as a signed 16-bit int."},
    {"FixMaster", "read_uint16",
     "Read one holding register as an unsigned 16-bit int."},
    {"FixMaster", "write_int16",
     "Write one holding register from a 16-bit int (sent as its low 16 bits)."},
    {"FixMaster", "write_uint16",
     "Write one holding register from an unsigned 16-bit int."},
    {"FixMaster", "write_coils",
     "Write 1 to 1968 consecutive coils from truth values (function code 15)."},
    {"FixMaster", "mask_write_register",
     "Mask one register in the device (function code 22): (register AND and_mask) OR (or_mask AND NOT and_mask)."},
    {"FixMaster", "read_write_registers",
     "Write registers, then read registers, in one transaction (function code 23); returns those read."},
    {"FixMaster", "read_device_identification",
     "Read the device identification (function code 43 / 14) as {object id: bytes}; see Master."},
    {"FixMaster", "read_values",
     "Read and decode typed values, as Master.read_values does.\n"
     "\n"
     "Example: meter.read_values(410, \"q 8s\")"},
    {"FixMaster", "write_values",
     "Encode and write typed values with function code 16, as Master.write_values does."},
    {"FixMaster", "retries",
     "The master's retries: how many times a failed request is sent again; settable."},
    {"FixMaster", "recovery_delay",
     "The master's recovery_delay in seconds; settable (None follows the time-out)."},
    {"FixMaster", "read_exception_status",
     "Read the exception status (function code 7, serial line only); see Master."},
    {"FixMaster", "diagnostics",
     "Run a diagnostics sub-function (function code 8); see Master.\n"
     "\n"
     "Example: meter.diagnostics(ModbusStatic.DIAG_RETURN_BUS_MESSAGE_COUNT)"},
    {"FixMaster", "get_comm_event_counter",
     "Read the communication event counter (function code 11) as (status, event count); see Master."},
    {"FixMaster", "get_comm_event_log",
     "Read the communication event log (function code 12); see Master."},
    {"FixMaster", "report_server_id",
     "Report the server id (function code 17): the data after the byte count; see Master."},
    {"FixMaster", "read_file_record",
     "Read file records (function code 20), (file, record, length) each; see Master."},
    {"FixMaster", "write_file_record",
     "Write file records (function code 21), (file, record, values) each; see Master."},
    {"FixMaster", "read_fifo_queue",
     "Read a FIFO queue (function code 24), at most 31 values; see Master."},
    {"FixMaster", "execute",
     "Send one raw request and return the data of its answer; see Master for length."},
    {"FixMaster", "trace",
     "The traffic trace: None (the default) or a callable given one TrafficRecord per frame.\n"
     "\n"
     "Each request gives a \"sent\" record when it has gone out and a \"received\" record when its\n"
     "exchange ends (all the bytes that came for it, and the outcome), so a retry shows as one\n"
     "more pair. The trace never changes what a call returns or raises: an exception of the\n"
     "callable is reported through sys.unraisablehook and the call goes on. Off, it costs nothing.\n"
     "Example: master.trace = records.append"},
    {"ModbusTCPMaster", "__init__",
     "Connect to host:port (through brel_modbus._tcp_connect) with a time-out in seconds.\n"
     "\n"
     "Args: station, the unit identifier of the requests (0..255); ssl_context, an\n"
     "ssl.SSLContext for Modbus/TCP Security (TLS, port 802 as a rule; see tls_context):\n"
     "the connection is wrapped in TLS here and at each reconnection, the certificate\n"
     "checked as the context says. None: plain Modbus TCP.\n"
     "Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when the connection fails;\n"
     "ssl.SSLError (an OSError; ssl.SSLCertVerificationError for a certificate refused)\n"
     "when the TLS handshake fails, before any request is sent."},
    {"ModbusTCPMaster", "socket",
     "The connected socket."},
    {"ModbusTCPMaster", "close",
     "Close the connection; a closed master is never reopened."},
    {"ModbusTCPMaster", "__enter__",
     "Return the master itself, for a with block that closes it."},
    {"ModbusTCPMaster", "__exit__",
     "Close the master; exceptions of the with block go on."},
    {"ModbusTCPMaster", "timeout",
     "The time-out in seconds given to the constructor (read-only)."},
    {"ModbusTCPMaster", "station",
     "The unit identifier of the next requests (0..255); settable.\n"
     "\n"
     "Example: plc.station = 2"},
    {"ModbusTCPMaster", "last_command_sent",
     "The last request sent, MBAP header included."},
    {"ModbusTCPMaster", "last_feedback_received",
     "The last answer received, MBAP header included, or what arrived of it."},
    {"ModbusTCPMaster", "last_command_sent_hex",
     "last_command_sent as upper-case hexadecimal bytes separated by spaces."},
    {"ModbusTCPMaster", "last_feedback_received_hex",
     "last_feedback_received as upper-case hexadecimal bytes separated by spaces."},
    {"ModbusTCPMaster", "protocol",
     "The protocol identifier of the MBAP header (0, Modbus)."},
    {"ModbusTCPMaster", "construct_header",
     "The MBAP header for a PDU: transaction id, protocol id, length, unit id.\n"
     "\n"
     "Args: command, the PDU; head_checker, the transaction identifier.\n"
     "Example: ModbusTCPMaster.construct_header(b\"\\x03\\x00\\x00\\x00\\x02\", 7) == bytes.fromhex(\"00070000000601\")"},
    {"ModbusTCPMaster", "construct_whole_query_command",
     "The whole Modbus TCP request: construct_header(...) followed by the PDU command."},
    {"ModbusTCPMaster", "construct_read_registers_command",
     "The PDU of a holding-register read (function code 3).\n"
     "\n"
     "Example: ModbusTCPMaster.construct_read_registers_command(1, 2) == bytes.fromhex(\"0300010002\")"},
    {"ModbusTCPMaster", "construct_read_coils_command",
     "The PDU of a coil read (function code 1)."},
    {"ModbusTCPMaster", "read_coils",
     "Read count consecutive coils (function code 1).\n"
     "\n"
     "Example: plc.read_coils(0, 8)"},
    {"ModbusTCPMaster", "read_registers",
     "Read count consecutive holding registers (function code 3), at most 125.\n"
     "\n"
     "Example: plc.read_registers(300, 3)"},
    {"ModbusTCPMaster", "read_register",
     "Read one holding register (function code 3)."},
    {"ModbusTCPMaster", "construct_write_registers_command",
     "The PDU of a write of many registers (function code 16)."},
    {"ModbusTCPMaster", "write_registers",
     "Write consecutive holding registers (function code 16); values must be a list.\n"
     "\n"
     "Example: plc.write_registers(300, [10, 20, 30])"},
    {"ModbusTCPMaster", "write_register",
     "Write one holding register, sent with function code 16 (write_single_register uses 6)."},
    {"ModbusTCPMaster", "construct_write_coil_command",
     "The PDU of a single coil write (function code 5): FF 00 when value is true, 00 00 otherwise."},
    {"ModbusTCPMaster", "write_coil",
     "Write one coil (function code 5): on when value is true.\n"
     "\n"
     "Example: plc.write_coil(3, True)"},
    {"ModbusTCPMaster", "read_input_registers",
     "Read count consecutive input registers (function code 4)."},
    {"ModbusTCPMaster", "read_input_register",
     "Read one input register (function code 4)."},
    {"ModbusTCPMaster", "read_input_coils",
     "Read count consecutive discrete inputs (function code 2)."},
    {"ModbusTCPMaster", "read_coil",
     "Read one coil (function code 1)."},
    {"ModbusTCPMaster", "write_single_register",
     "Write one holding register with function code 6.\n"
     "\n"
     "Example: plc.write_single_register(320, 0x1234)"},
    {"ModbusTCPMaster", "read_int16",
     "Read one holding register as a signed 16-bit int."},
    {"ModbusTCPMaster", "read_uint32",
     "Read an unsigned 32-bit int from two holding registers; endian \">\" high word first, else low word first."},
    {"ModbusTCPMaster", "read_int32",
     "Read a signed 32-bit int from two holding registers; endian as for read_uint32."},
    {"ModbusTCPMaster", "read_float",
     "Read a single-precision float from two holding registers; endian as for read_uint32.\n"
     "\n"
     "Example: plc.read_float(316, \"<\")"},
    {"ModbusTCPMaster", "read_multi_uint32",
     "Read count unsigned 32-bit ints (two registers each, at most 62) in one request."},
    {"ModbusTCPMaster", "read_multi_int32",
     "Read count signed 32-bit ints (two registers each, at most 62) in one request."},
    {"ModbusTCPMaster", "read_multi_float",
     "Read count single-precision floats (two registers each, at most 62) in one request."},
    {"ModbusTCPMaster", "write_int32",
     "Write a signed 32-bit int to two holding registers (function code 16)."},
    {"ModbusTCPMaster", "write_uint32",
     "Write an unsigned 32-bit int to two holding registers (function code 16)."},
    {"ModbusTCPMaster", "write_float",
     "Write a single-precision float to two holding registers (function code 16).\n"
     "\n"
     "Example: plc.write_float(316, 0.5, \"<\")"},
    {"ModbusTCPMaster", "write_multi_int32",
     "Write signed 32-bit ints (at most 61) in one request (function code 16)."},
    {"ModbusTCPMaster", "write_multi_uint32",
     "Write unsigned 32-bit ints (at most 61) in one request (function code 16)."},
    {"ModbusTCPMaster", "write_multi_float",
     "Write single-precision floats (at most 61) in one request (function code 16)."},
    {"ModbusTCPMaster", "write_coils",
     "Write 1 to 1968 consecutive coils from truth values (function code 15).\n"
     "\n"
     "Example: plc.write_coils(8, [True, False, True])"},
    {"ModbusTCPMaster", "mask_write_register",
     "Mask one register in the device (function code 22): (register AND and_mask) OR (or_mask AND NOT and_mask)."},
    {"ModbusTCPMaster", "read_write_registers",
     "Write 1 to 121 registers, then read 1 to 125, in one transaction (function code 23).\n"
     "\n"
     "Example: plc.read_write_registers(320, 2, 321, [7])"},
    {"ModbusTCPMaster", "read_device_identification",
     "Read the device identification (function code 43, MEI type 14), every page, as {object id: bytes}.\n"
     "\n"
     "Args: read_code 1 basic, 2 regular, 3 extended, 4 the one object object_id.\n"
     "Example: plc.read_device_identification()[0]  # the vendor name"},
    {"ModbusTCPMaster", "read_values",
     "Read the registers a format takes (at most 125) and decode them as ModbusStatic.decode_values does.\n"
     "\n"
     "Args: func_code 3 (holding) or 4 (input registers).\n"
     "Example: plc.read_values(310, \"f I 4s\", \"CDAB\")"},
    {"ModbusTCPMaster", "write_values",
     "Encode values as ModbusStatic.encode_values does and write them with function code 16.\n"
     "\n"
     "At most 123 registers.\n"
     "Example: plc.write_values(310, \"f I 4s\", [21.5, 3_000_000_000, b\"PLC1\"], \"CDAB\")"},
    {"ModbusTCPMaster", "retries",
     "How many times a failed request is sent again (0 to 100, default 0); settable.\n"
     "\n"
     "A request whose connection broke is sent again on a new connection. A TCPSlaveException\n"
     "and an argument refused before sending are not retried."},
    {"ModbusTCPMaster", "reconnect",
     "Whether the call after a closed or broken connection opens a new one (default True); settable."},
    {"ModbusTCPMaster", "diagnostics",
     "Run a diagnostics sub-function (function code 8) through a gateway or a device that serves it.\n"
     "\n"
     "Args and Returns as Master.diagnostics; the length comes from the MBAP header.\n"
     "Raises: AssertionError \"Feedback for diagnostics invalid\" when the answer does not\n"
     "repeat the sub-function, is not as long as the request, or does not repeat the data\n"
     "of return query data.\n"
     "Example: plc.diagnostics(ModbusStatic.DIAG_RETURN_QUERY_DATA, b\"\\xa5\\x37\")"},
    {"ModbusTCPMaster", "report_server_id",
     "Report the server id (function code 17): the answer's data after its byte count.\n"
     "\n"
     "Example: plc.report_server_id()[-1] == 0xFF  # running, for most devices"},
    {"ModbusTCPMaster", "read_file_record",
     "Read file records (function code 20), one register list per (file, record, length); see Master.\n"
     "\n"
     "Raises: AssertionError \"Feedback for reading file records invalid\" for an answer that\n"
     "does not carry the records asked for."},
    {"ModbusTCPMaster", "write_file_record",
     "Write file records (function code 21), (file, record, values) each; see Master.\n"
     "\n"
     "Raises: AssertionError \"Feedback for writing file records invalid\" when the answer does\n"
     "not repeat the request."},
    {"ModbusTCPMaster", "read_fifo_queue",
     "Read the FIFO queue whose pointer register is at address (function code 24), at most 31 values."},
    {"ModbusTCPMaster", "execute",
     "Send one raw request (function_code 1..127, data at most 252 bytes); the data of its answer.\n"
     "\n"
     "The MBAP header says how long the answer is; length, when given, must agree with it:\n"
     "an int, the data length; a callable, given the answer so far (function code first) and\n"
     "returning how many more bytes it needs. The function code of a public code's answer\n"
     "is checked with its own length rule.\n"
     "Raises: TCPSlaveException for an exception answer; AssertionError \"Data length not\n"
     "match with needed\" or \"Feedback for the request invalid\" when the lengths disagree.\n"
     "Example: plc.execute(17, b\"\")"},
    {"ModbusTCPMaster", "trace",
     "The traffic trace: None (the default) or a callable given one TrafficRecord per frame.\n"
     "\n"
     "Each request gives a \"sent\" record when it has gone out and a \"received\" record when its\n"
     "exchange ends (all the bytes that came for it, and the outcome), so a retry shows as one\n"
     "more pair. The trace never changes what a call returns or raises: an exception of the\n"
     "callable is reported through sys.unraisablehook and the call goes on. Off, it costs nothing.\n"
     "Example: master.trace = records.append"},
    {"Poller", "__init__",
     "Poll through master (a Master, FixMaster or ModbusTCPMaster).\n"
     "\n"
     "Args: max_gap, the most unused registers read to merge two points, or \"auto\": the gap\n"
     "that costs less to read than another request, measured from the round trips; max_bit_gap,\n"
     "the same for coils and discrete inputs; clock, the time source of the periods\n"
     "(the system's monotonic clock when None; a callable returning seconds as a float);\n"
     "max_failures, the failures in a row (time-outs, CRC errors, mismatches, lost\n"
     "connections, gateway exceptions 10 and 11; a failure ends the station's pass, its other\n"
     "requests not sent, and counts once) that mark a station down; max_backoff, the\n"
     "longest wait in seconds between two tries of a station that is down; learned, what an\n"
     "earlier poller learned (its `learned`, also after a trip through JSON) to start from.\n"
     "Raises: ValueError for a max_gap that is negative or a str other than \"auto\", max_failures\n"
     "below 1, a max_backoff that is not a positive number, or an entry of learned that is not a\n"
     "station, a table, an address or a size; TypeError for a learned that is not a dict of dicts.\n"
     "Example: poller = Poller(master, max_failures=2, max_backoff=30.0)"},
    {"Poller", "stats",
     "Figures per station: {station: {name: figure}}.\n"
     "\n"
     "requests, answers, failures by kind (timeouts, mismatches, slave_exceptions, ...), the\n"
     "round trips rtt_p50 and rtt_p99 in seconds (None before the first answer), and the\n"
     "station's state (\"up\" or \"down\"), its failures in a row, last_success (the poller's clock\n"
     "at its last answer with values, or None) and backoff (seconds while down, else None);\n"
     "max_gap, the register gap the plan uses (with max_gap=\"auto\", the one measured)."},
    {"Poller", "master",
     "The master the poller reads through."},
    {"Poller", "write",
     "Write a point's value (its format and order) before any read still due, also while run()\n"
     "iterates in another thread; returns when written, or raises as the master does.\n"
     "\n"
     "A holding register point is written with write_registers (function code 16), a coil\n"
     "point with write_coil (function code 5), through the master's public members.\n"
     "Raises: KeyError for an unknown name; ValueError for an input register or discrete input\n"
     "point, or a value its format cannot hold; TypeError for a value of the wrong type.\n"
     "Example: poller.write(\"setpoint\", 21.5)"},
    {"Poller", "learned",
     "What the poller learned of each device: {station: {table: {name: figure}}}, str keys only.\n"
     "\n"
     "cuts, the addresses no request spans (holes found by refusals); max_block, the largest\n"
     "read planned (None without a bound); largest_read and smallest_refused, the sizes the\n"
     "bound lies between. Plain data: json.dumps takes it, and Poller(..., learned=...) starts\n"
     "from it, or from json.loads of it.\n"
     "Example: json.dump(poller.learned, file)"},
    {"AsyncModbusTCPMaster", "",
     "Modbus TCP master (client) for asyncio: ModbusTCPMaster's data model on an asyncio connection.\n"
     "\n"
     "Each operation checks its arguments and builds its request at the call (a bad argument\n"
     "raises there, before anything is queued) and returns an asyncio Future for its result:\n"
     "`await plc.read_registers(0, 4)`. The names, parameters, defaults, results, exceptions and\n"
     "texts are those of ModbusTCPMaster. Calls made concurrently on one master go out in the\n"
     "order they were made, but a write goes before the reads that wait; up to max_in_flight\n"
     "requests are on the wire at once, matched to their answers by transaction identifier.\n"
     "A cancelled call (task.cancel(), asyncio.timeout()) leaves the master usable: its answer,\n"
     "if it comes, is skipped. The connection opens on the first call, in `async with`, or by\n"
     "`await connect()`.\n"
     "Example: async with AsyncModbusTCPMaster(\"192.168.1.60\", 502, 2.0) as plc: await plc.read_registers(0, 4)"},
    {"AsyncModbusTCPMaster", "__init__",
     "Make the master for host:port; nothing is opened yet (asyncio.get_running_loop()'s\n"
     "loop.create_connection opens it on first use).\n"
     "\n"
     "Args: timeout, seconds for each answer (and for opening the connection); station, the\n"
     "unit identifier of the requests (0..255); max_in_flight, the requests on the wire at once (1..16);\n"
     "ssl_context, an ssl.SSLContext for Modbus/TCP Security (see tls_context), None for plain TCP:\n"
     "each connection (the first and each reopened one) makes its TLS handshake with it, the\n"
     "certificate checked against host.\n"
     "Raises: OverflowError for a station outside 0..255; ValueError for max_in_flight outside\n"
     "1..16 or a timeout that is not above 0; TypeError for an ssl_context that is not an\n"
     "ssl.SSLContext. A failed handshake fails the call (or connect()) with ssl.SSLError before\n"
     "any request is sent."},
    {"AsyncModbusTCPMaster", "connect",
     "Open the connection now (it opens on first use otherwise).\n"
     "\n"
     "Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when it cannot be opened;\n"
     "ConnectionError after close()."},
    {"AsyncModbusTCPMaster", "close",
     "Close the connection; calls still waiting fail with ConnectionError. A closed master is never reopened."},
    {"AsyncModbusTCPMaster", "__aenter__",
     "Open the connection; the master itself, for an async with block that closes it."},
    {"AsyncModbusTCPMaster", "__aexit__",
     "Close the connection (an exception raised in the block passes on)."},
    {"AsyncModbusTCPMaster", "transport",
     "The asyncio transport of the open connection, None while there is none."},
    {"AsyncModbusTCPMaster", "timeout",
     "The time-out of each answer, in seconds."},
    {"AsyncModbusTCPMaster", "station",
     "The unit identifier of the requests that go out from now on (0..255)."},
    {"AsyncModbusTCPMaster", "max_in_flight",
     "The requests on the wire at once (1..16; ValueError outside). After a time-out or an\n"
     "answer with an unknown transaction identifier, one at a time until the connection is opened again."},
    {"AsyncModbusTCPMaster", "last_command_sent",
     "The last request sent (MBAP header and PDU)."},
    {"AsyncModbusTCPMaster", "last_feedback_received",
     "The last answer received (empty until it comes)."},
    {"AsyncModbusTCPMaster", "last_command_sent_hex",
     "last_command_sent as upper-case hex pairs: \"00 01 00 00 00 06 01 03 00 00 00 02\"."},
    {"AsyncModbusTCPMaster", "last_feedback_received_hex",
     "last_feedback_received as upper-case hex pairs."},
    {"AsyncModbusTCPMaster", "protocol",
     "The protocol identifier of the requests: 0 (Modbus)."},
    {"AsyncModbusTCPMaster", "read_coils",
     "Read count consecutive coils (function code 1).\n"
     "\n"
     "Example: await plc.read_coils(0, 8)"},
    {"AsyncModbusTCPMaster", "read_registers",
     "Read count consecutive holding registers (function code 3), at most 125.\n"
     "\n"
     "Example: await plc.read_registers(300, 3)"},
    {"AsyncModbusTCPMaster", "read_register",
     "Read one holding register (function code 3)."},
    {"AsyncModbusTCPMaster", "write_registers",
     "Write holding registers from address (function code 16)."},
    {"AsyncModbusTCPMaster", "write_register",
     "Write one holding register with function code 16."},
    {"AsyncModbusTCPMaster", "write_coil",
     "Switch one coil on (a true value) or off (function code 5)."},
    {"AsyncModbusTCPMaster", "read_input_registers",
     "Read count consecutive input registers (function code 4), 1 to 125."},
    {"AsyncModbusTCPMaster", "read_input_register",
     "Read one input register (function code 4)."},
    {"AsyncModbusTCPMaster", "read_input_coils",
     "Read count consecutive discrete inputs (function code 2), 1 to 2000."},
    {"AsyncModbusTCPMaster", "read_coil",
     "Read one coil (function code 1)."},
    {"AsyncModbusTCPMaster", "write_single_register",
     "Write one holding register with function code 6."},
    {"AsyncModbusTCPMaster", "read_int16",
     "Read one holding register as a signed 16-bit value."},
    {"AsyncModbusTCPMaster", "read_uint32",
     "Read an unsigned 32-bit value from two holding registers (\">\": high word first)."},
    {"AsyncModbusTCPMaster", "read_int32",
     "Read a signed 32-bit value from two holding registers (\">\": high word first)."},
    {"AsyncModbusTCPMaster", "read_float",
     "Read a 32-bit float from two holding registers (\">\": high word first).\n"
     "\n"
     "Example: await plc.read_float(20)"},
    {"AsyncModbusTCPMaster", "read_multi_uint32",
     "Read count unsigned 32-bit values."},
    {"AsyncModbusTCPMaster", "read_multi_int32",
     "Read count signed 32-bit values."},
    {"AsyncModbusTCPMaster", "read_multi_float",
     "Read count 32-bit floats."},
    {"AsyncModbusTCPMaster", "write_int32",
     "Write a signed 32-bit value into two holding registers."},
    {"AsyncModbusTCPMaster", "write_uint32",
     "Write an unsigned 32-bit value into two holding registers."},
    {"AsyncModbusTCPMaster", "write_float",
     "Write a 32-bit float into two holding registers."},
    {"AsyncModbusTCPMaster", "write_multi_int32",
     "Write signed 32-bit values."},
    {"AsyncModbusTCPMaster", "write_multi_uint32",
     "Write unsigned 32-bit values."},
    {"AsyncModbusTCPMaster", "write_multi_float",
     "Write 32-bit floats."},
    {"AsyncModbusTCPMaster", "write_coils",
     "Write coils from address, one per truth value (function code 15)."},
    {"AsyncModbusTCPMaster", "mask_write_register",
     "Set a holding register to (value AND and_mask) OR (or_mask AND NOT and_mask) (function code 22)."},
    {"AsyncModbusTCPMaster", "read_write_registers",
     "Write values from write_address, then read read_count registers from read_address (function code 23)."},
    {"AsyncModbusTCPMaster", "read_device_identification",
     "Read the device identification objects (function code 43/14), page by page: {object id: bytes}.\n"
     "\n"
     "Example: await plc.read_device_identification()"},
    {"AsyncModbusTCPMaster", "read_values",
     "Read the values of a struct-like format from holding (3) or input (4) registers.\n"
     "\n"
     "Example: await plc.read_values(100, \"f Q\", \"CDAB\")"},
    {"AsyncModbusTCPMaster", "write_values",
     "Write the values of a struct-like format into holding registers (function code 16)."},
    {"AsyncModbusTCPMaster", "retries",
     "How many times a request that failed after it went out is sent again (0..100): a time-out, a\n"
     "closed connection, a damaged or mismatched answer; never a slave's exception answer."},
    {"AsyncModbusTCPMaster", "reconnect",
     "Open a new connection for the next call once the old one closed (True by default)."},
    {"AsyncModbusTCPMaster", "diagnostics",
     "Function code 8, sub-function `sub_function` with `data`: the data of the answer.\n"
     "\n"
     "Example: await plc.diagnostics(0, b\"\\x12\\x34\") == b\"\\x12\\x34\""},
    {"AsyncModbusTCPMaster", "report_server_id",
     "Function code 17: the server id and what follows it in the answer."},
    {"AsyncModbusTCPMaster", "read_file_record",
     "Function code 20: for each (file, record, count) the registers read."},
    {"AsyncModbusTCPMaster", "write_file_record",
     "Function code 21: for each (file, record, values) the registers written."},
    {"AsyncModbusTCPMaster", "read_fifo_queue",
     "Function code 24: the registers of the FIFO queue at address."},
    {"AsyncModbusTCPMaster", "execute",
     "A raw request: function_code and data; the answer's data (length: as ModbusTCPMaster.execute)."},
    {"AsyncModbusTCPMaster", "trace",
     "The traffic trace: None (the default) or a callable given one TrafficRecord per frame.\n"
     "\n"
     "As ModbusTCPMaster.trace: a \"sent\" record when a request goes out and a \"received\" record\n"
     "when its exchange ends (the bytes that came for it, and the outcome), each with its own\n"
     "request's station and function code however many are in flight. A call takes the trace of\n"
     "its moment. The trace never changes what a call returns or raises: an exception of the\n"
     "callable is reported through sys.unraisablehook. Off, it costs nothing.\n"
     "Example: master.trace = records.append"},
    {"ModbusTimeoutError", "",
     "No answer, or not all of it, came within the time-out.\n"
     "\n"
     "RTU: \"modbus: read from slave timeout\" (an OSError before); TCP: \"timed out\" (a TimeoutError before).\n"
     "Example: except ModbusTimeoutError: print(\"no answer\")"},
    {"FrameError", "",
     "A damaged answer: a wrong CRC (\"modbus: message from slave with station 1 has crc error\", a\n"
     "ValueError before) or a malformed Modbus TCP answer (\"Feedback for reading device identification\n"
     "invalid\", an AssertionError before)."},
    {"MismatchError", "",
     "An answer that does not belong to the request: another station, function, count, echo or\n"
     "transaction.\n"
     "\n"
     "RTU: \"modbus: answer from slave with station 1 does not match the request\" (a ValueError\n"
     "before); TCP: \"Received data header invalid from ('host', 502)\" (an OSError before), \"Data length\n"
     "not match with needed\", \"ModbusTCP error code: 0x4\", \"Write coil address [7] to ('host', 502)\n"
     "failed.\" and the like (AssertionErrors before)."},
    {"ConnectionClosedError", "",
     "The Modbus TCP slave closed the connection: \"Connection closed by ('host', 502)\" (a\n"
     "ConnectionError before)."},
    {"MasterClosedError", "",
     "A ModbusTCPMaster used after close(): the socket's own error, \"[Errno 9] Bad file\n"
     "descriptor\" with errno 9 (an OSError before). A closed master never reconnects."},
    {"TrafficRecord", "",
     "One frame of a master's traffic, as its trace callable gets it (a named tuple).\n"
     "\n"
     "direction: \"sent\" or \"received\"; data: the bytes as they went out or came in (for an\n"
     "answer, all that came for the request: last_feedback_received); time: seconds of\n"
     "time.monotonic() when the record was made; station and function: the request's station\n"
     "(unit identifier on Modbus TCP) and function code; outcome: None for a request, for an\n"
     "answer \"answer\", \"refusal\", \"timeout\", \"frame\", \"mismatch\", \"connection closed\",\n"
     "\"master closed\", \"broadcast\" (nothing is due) or \"other\".\n"
     "Example: for r in records: print(r.direction, r.data.hex(\" \"), r.outcome)"},
    {"TrafficRecord", "direction",
     "'sent' or 'received'."},
    {"TrafficRecord", "data",
     "The frame's bytes."},
    {"TrafficRecord", "time",
     "Seconds of time.monotonic() when the record was made."},
    {"TrafficRecord", "station",
     "The request's station (unit identifier on Modbus TCP)."},
    {"TrafficRecord", "function",
     "The request's function code."},
    {"TrafficRecord", "outcome",
     "None for a request; for an answer how the exchange ended."},
    {"TcpChannel", "",
     "RTU frames over a TCP connection to a serial server: the channel of an rtu+tcp:// port.\n"
     "\n"
     "create_serial_instance returns one for Master(\"rtu+tcp://host:port\", ...); a Master drives it\n"
     "without pyserial and without the interpreter's calls. Like a serial port, read returns fewer\n"
     "bytes when the time-out runs out; there is no silent interval (the server times its line), but\n"
     "a frame after a broadcast (station 0) waits broadcast_delay seconds, as on a serial line. A\n"
     "server that closes the connection makes the read that meets it raise ConnectionError; the next\n"
     "write connects again."},
    {"TcpChannel", "__init__",
     "Connect to host:port (socket.create_connection, waiting at most `timeout` seconds).\n"
     "\n"
     "Raises: the OSError of the connection (ConnectionRefusedError, TimeoutError, ...);\n"
     "ValueError for a negative time-out or broadcast_delay.\n"
     "Example: channel = TcpChannel(\"127.0.0.1\", 5020, 1.0)"},
    {"TcpChannel", "read",
     "Up to `size` bytes: those received, waiting at most the time-out for the rest.\n"
     "\n"
     "Raises: ConnectionError \"Connection closed by (host, port)\" when the server has closed\n"
     "the connection while this read waited and nothing is left unread (later reads find\n"
     "nothing until the next write connects again); OSError once the channel is closed."},
    {"TcpChannel", "write",
     "Send all of `data` (bytes or any buffer) at once; returns the byte count.\n"
     "\n"
     "Connects again first when the server had closed the connection."},
    {"TcpChannel", "in_waiting",
     "Bytes received and not yet read."},
    {"TcpChannel", "is_open",
     "False once close() was called."},
    {"TcpChannel", "close",
     "Close the connection; a second call does nothing."},
    {"TcpChannel", "timeout",
     "Seconds a read waits (0: only what has arrived)."},
    {"TcpChannel", "address",
     "(host, port) of the server."},
    {"TcpChannel", "broadcast_delay",
     "Seconds the next frame waits after a broadcast."},
    {"TcpChannel", "__enter__",
     "The channel itself."},
    {"TcpChannel", "__exit__",
     "Close the channel."},
    {"ModbusUDPMaster", "",
     "Modbus over UDP: ModbusTCPMaster's members, one datagram per request and per answer.\n"
     "\n"
     "Requests are MBAP framed as on TCP. The answer is the first datagram within the time-out\n"
     "that carries the request's transaction identifier and a whole frame; late answers,\n"
     "duplicates and other stray datagrams are dropped while the call keeps waiting, and\n"
     "datagrams from another address or port never reach it (the socket is connected).\n"
     "Time-out and `retries` work as on TCP; there is no connection to lose."},
    {"ModbusUDPMaster", "__init__",
     "A UDP socket connected to host:port (the first address getaddrinfo gives).\n"
     "\n"
     "Raises: OverflowError for a station outside 0..255; the socket's OSError for a host\n"
     "that does not resolve. Nothing is sent before the first request: a slave that does\n"
     "not listen shows as ConnectionRefusedError or a time-out then.\n"
     "Example: master = ModbusUDPMaster(\"127.0.0.1\", 5020, 1.0)"},
    {"AsciiChannel", "",
     "Modbus ASCII framing over a serial channel: what Master(..., framing=\"ascii\") talks through.\n"
     "\n"
     "The master builds, checks and records RTU frames as ever; this channel writes each one as\n"
     "':', the station and PDU in upper-case hex pairs, their LRC, CR LF, and hands each ASCII\n"
     "answer back as the RTU frame it stands for. A frame that is not sound raises, and nothing\n"
     "of it is decoded: ValueError \"modbus: message from slave with station N has lrc error\"\n"
     "for a wrong LRC (the CRC error's text), ValueError \"modbus ascii: ...\" for a character that\n"
     "is no hex digit, an odd count of digits, CR without LF; OSError \"modbus ascii: more than\n"
     "1 s between two characters of the answer\" (the standard's limit, whatever the time-out)."},
    {"AsciiChannel", "__init__",
     "Frame in ASCII on `line`, a serial channel (what create_serial_instance returns)."},
    {"AsciiChannel", "read",
     "Up to `size` bytes of the RTU form of the answers: each ASCII frame read whole."},
    {"AsciiChannel", "write",
     "Send the RTU frame `data` (its CRC left off) as one ASCII frame; returns len(data)."},
    {"AsciiChannel", "in_waiting",
     "Bytes of frames read and not yet taken; characters waiting on the line are dropped."},
    {"AsciiChannel", "is_open",
     "The line's is_open."},
    {"AsciiChannel", "close",
     "Close the line, if it is open."},
    {"AsciiChannel", "timeout",
     "The line's time-out (an answer must begin within it)."},
    {"AsciiChannel", "line",
     "The serial channel underneath."},
    {"AsciiChannel", "__enter__",
     "The channel itself."},
    {"AsciiChannel", "__exit__",
     "Close the line."},
    {"AsyncMaster", "",
     "Modbus RTU master for asyncio: Master's data model on an asyncio connection, each operation a coroutine.\n"
     "\n"
     "Each operation checks its arguments and builds its request frame at the call, as Master\n"
     "does (the same bytes; a bad argument raises there, before anything is queued), and returns\n"
     "an asyncio Future for its result: `await rtu.read_registers(1, 0, 4)`. The names,\n"
     "parameters, defaults, results, exceptions and texts are those of Master. One request is\n"
     "on the line at a time; calls made concurrently go out in the order they were made, but a\n"
     "write goes before the reads that wait. A call cancelled on the line (task.cancel(),\n"
     "asyncio.timeout()) leaves its request there until its answer has come or its time-out has\n"
     "passed, and that answer is dropped: the next call never takes it. After a call that ended\n"
     "without a sound answer the next one waits for a line quiet for the time-out, as on Master.\n"
     "The line is a device (its descriptor watched by the running loop, the silent interval\n"
     "kept between frames) or a serial server over TCP (rtu+tcp://host:port or\n"
     "socket://host:port, whose connection opens on the first call, in `async with`, or by\n"
     "`await connect()`).\n"
     "Example: async with AsyncMaster(\"rtu+tcp://127.0.0.1:4001\", 19200, 0.5) as rtu: await rtu.read_registers(1, 0, 4)"},
    {"AsyncMaster", "__init__",
     "Make the master for `port`.\n"
     "\n"
     "Args: port, a device path (opened now by create_serial_instance with a time-out of 0,\n"
     "and watched by the running loop from the first call) or rtu+tcp://host:port or\n"
     "socket://host:port (opened on first use by the running loop's create_connection;\n"
     "pyserial's options after \"?\" are left aside); baudrate, which sets the silent interval\n"
     "on a device; timeout, seconds for each answer (and for opening a connection); kwargs,\n"
     "the channel's settings of a device's line (parity, bytesize, stopbits, ...), which a\n"
     "serial server over TCP does not use, and broadcast_delay (seconds of quiet line after a\n"
     "frame to station 0, 0.1 unless told otherwise), which both use.\n"
     "Raises: what Master raises when the device cannot be opened; ValueError for a port\n"
     "without a file descriptor (loop://, rfc2217://), a serial server URL without its port,\n"
     "a timeout that is not above 0, a negative broadcast_delay, framing=\"ascii\" (Master's\n"
     "alone), or rs485 switched by the channel (it holds RTS until the frame has left the\n"
     "line with sleeps, which the loop must not do). With echo=True the echo of each\n"
     "request is read back and compared before its answer, with the channel's OSError\n"
     "(\"serial echo: ...\") when it is not the request."},
    {"AsyncMaster", "connect",
     "Open the connection now (it opens on first use otherwise).\n"
     "\n"
     "Raises: OSError (ConnectionRefusedError, TimeoutError, ...) when it cannot be opened;\n"
     "ConnectionError after close()."},
    {"AsyncMaster", "close",
     "Close the connection; calls still waiting fail with ConnectionError. A closed master is never reopened."},
    {"AsyncMaster", "__aenter__",
     "Open the connection; the master itself, for an async with block that closes it."},
    {"AsyncMaster", "__aexit__",
     "Close the connection (an exception raised in the block passes on)."},
    {"AsyncMaster", "transport",
     "The asyncio transport of the open connection, None while there is none."},
    {"AsyncMaster", "last_command_sent",
     "The last request frame sent, CRC included."},
    {"AsyncMaster", "last_feedback_received",
     "The last answer received, or what arrived of it before a failure."},
    {"AsyncMaster", "last_command_sent_hex",
     "last_command_sent as upper-case hexadecimal bytes separated by spaces (\"01 03 00 00 00 02 C4 0B\")."},
    {"AsyncMaster", "last_feedback_received_hex",
     "last_feedback_received as upper-case hexadecimal bytes separated by spaces."},
    {"AsyncMaster", "timeout",
     "The time-out of each answer, in seconds (None: none); settable as on Master.\n"
     "\n"
     "The setter checks the value as Master's channel on the same port does, with its texts:\n"
     "pyserial's for a device and for socket:// (ValueError \"Not a valid timeout: ...\"; None\n"
     "waits without end, 0 ends a call that has no answer at once), the TCP channel's for\n"
     "rtu+tcp:// (a finite number, 0 or more). The call on the line keeps the time-out it\n"
     "was sent with; while no recovery_delay was set, the recovery delay follows it.\n"
     "Example: rtu.timeout = 0.25"},
    {"AsyncMaster", "write_register",
     "Write one holding register (function code 6) and check the echo.\n"
     "\n"
     "Example: await rtu.write_register(1, 200, 1234)"},
    {"AsyncMaster", "write_registers",
     "Write consecutive holding registers (function code 16), at most 127 values.\n"
     "\n"
     "Example: await rtu.write_registers(1, 201, [1, 2, 3])"},
    {"AsyncMaster", "write_coil",
     "Write one coil (function code 5): on when value is true, off otherwise."},
    {"AsyncMaster", "read_register",
     "Read one register (code 3, or 4 for an input register)."},
    {"AsyncMaster", "read_registers",
     "Read count consecutive registers (code 3, or 4 for input registers), at most 125.\n"
     "\n"
     "Example: await rtu.read_registers(1, 0, 4)"},
    {"AsyncMaster", "read_input_register",
     "Read one input register (function code 4)."},
    {"AsyncMaster", "read_input_registers",
     "Read count consecutive input registers (function code 4)."},
    {"AsyncMaster", "read_int16",
     "Read one holding register as a signed 16-bit int (-32768..32767)."},
    {"AsyncMaster", "read_uint32",
     "Read an unsigned 32-bit int from two holding registers.\n"
     "\n"
     "Args: endian, \">\" for the high word first (ABCD), any other text for the low word first (CDAB)."},
    {"AsyncMaster", "read_int32",
     "Read a signed 32-bit int from two holding registers; endian as for read_uint32."},
    {"AsyncMaster", "read_float",
     "Read a single-precision float from two holding registers; endian as for read_uint32."},
    {"AsyncMaster", "read_multi_uint32",
     "Read count unsigned 32-bit ints (two registers each) in one request."},
    {"AsyncMaster", "read_multi_int32",
     "Read count signed 32-bit ints (two registers each) in one request."},
    {"AsyncMaster", "read_multi_float",
     "Read count single-precision floats (two registers each) in one request."},
    {"AsyncMaster", "write_int32",
     "Write a signed 32-bit int to two holding registers (code 16); endian as for read_uint32."},
    {"AsyncMaster", "write_uint32",
     "Write an unsigned 32-bit int to two holding registers (code 16)."},
    {"AsyncMaster", "write_float",
     "Write a single-precision float to two holding registers (code 16)."},
    {"AsyncMaster", "write_multi_int32",
     "Write signed 32-bit ints (two registers each) in one request (code 16)."},
    {"AsyncMaster", "write_multi_uint32",
     "Write unsigned 32-bit ints (two registers each) in one request (code 16)."},
    {"AsyncMaster", "write_multi_float",
     "Write single-precision floats (two registers each) in one request (code 16), at most 63."},
    {"AsyncMaster", "read_coil",
     "Read one coil (function code 1)."},
    {"AsyncMaster", "read_coils",
     "Read count consecutive coils (function code 1)."},
    {"AsyncMaster", "read_input_coils",
     "Read count consecutive discrete inputs (function code 2)."},
    {"AsyncMaster", "write_coils",
     "Write 1 to 1968 consecutive coils from truth values (function code 15)."},
    {"AsyncMaster", "mask_write_register",
     "Set a holding register to (value AND and_mask) OR (or_mask AND NOT and_mask) (function code 22)."},
    {"AsyncMaster", "read_write_registers",
     "Write values from write_address, then read read_count registers from read_address (function code 23)."},
    {"AsyncMaster", "read_device_identification",
     "Read the device identification objects (function code 43/14), page after page.\n"
     "\n"
     "Each page is a request of its own in the line's queue."},
    {"AsyncMaster", "read_values",
     "Read typed values laid out by format from consecutive registers (code 3 or 4), as Master.read_values.\n"
     "\n"
     "Example: await rtu.read_values(1, 300, \"f Q\", \"CDAB\")"},
    {"AsyncMaster", "write_values",
     "Write typed values laid out by format to consecutive holding registers (code 16), as Master.write_values."},
    {"AsyncMaster", "retries",
     "How many times a failed request is sent again (0 to 100, default 0); settable.\n"
     "\n"
     "A time-out, CRC error, mismatched answer or broken connection is retried (the request\n"
     "goes in the line's queue again); a SlaveException, a broadcast and an argument\n"
     "refused at the call are not. A call takes the retries of its moment."},
    {"AsyncMaster", "recovery_delay",
     "Seconds of quiet line awaited before the request that follows a failure; settable.\n"
     "\n"
     "0 turns the wait off; setting None follows the time-out (the default). A request made\n"
     "while a failed one waits for its quiet line waits with it."},
    {"AsyncMaster", "read_exception_status",
     "The eight exception status outputs as one int (function code 7)."},
    {"AsyncMaster", "diagnostics",
     "A diagnostics request (function code 8): the data part of the answer."},
    {"AsyncMaster", "get_comm_event_counter",
     "The status word and the event count (function code 11)."},
    {"AsyncMaster", "get_comm_event_log",
     "The status word, event count, message count and events (function code 12)."},
    {"AsyncMaster", "report_server_id",
     "The server id and what follows it (function code 17)."},
    {"AsyncMaster", "read_file_record",
     "Read file records (function code 20), as Master.read_file_record."},
    {"AsyncMaster", "write_file_record",
     "Write file records (function code 21), as Master.write_file_record."},
    {"AsyncMaster", "read_fifo_queue",
     "The registers of the FIFO queue at address (function code 24)."},
    {"AsyncMaster", "execute",
     "A raw request (function code and data); the data part of the answer, as Master.execute.\n"
     "\n"
     "length as on Master: an int, or a callable read over the answer. An answer whose length\n"
     "only the callable tells is judged once the line has gone quiet after its last byte (the\n"
     "silent interval on a device, 20 ms over a serial server): what came is the answer, and\n"
     "the callable's length must be its length (shorter: the time-out, longer: the CRC error,\n"
     "as Master reads it). Raises: ValueError at the call, as Master, for a function code of\n"
     "no public size rule without a length."},
    {"AsyncMaster", "trace",
     "The traffic trace: None (the default) or a callable given one TrafficRecord per frame.\n"
     "\n"
     "As Master.trace: a \"sent\" record when a request goes out and a \"received\" record when\n"
     "its exchange ends (the bytes that came for it, and the outcome). A call takes the trace\n"
     "of its moment; a cancelled call's ending is not told. The trace never changes what a\n"
     "call returns or raises: an exception of the callable is reported through\n"
     "sys.unraisablehook. Off, it costs nothing.\n"
     "Example: rtu.trace = records.append"},
    {"AsyncMaster", "serial",
     "The channel of a device, as Master.serial (from create_serial_instance, opened with a\n"
     "time-out of 0 for reads that never block); None for a serial server over TCP, whose\n"
     "connection is `transport`."},
    {"AsyncMaster", "reconnect",
     "Whether the call after a lost line opens it again (True by default); settable.\n"
     "\n"
     "A device that went away (unplugged, its line hung up) fails the calls on it with\n"
     "ConnectionError, then the next call opens its path again with the settings it was\n"
     "first opened with (failing as Master's constructor does while the device is missing);\n"
     "a serial server's closed connection is opened again. Off, the master stays closed.\n"
     "Example: rtu.reconnect = False"},
    {"AsyncPoller", "",
     "Reads the points of many asyncio masters (AsyncMaster, AsyncModbusTCPMaster) at once: each\n"
     "master's points are merged into few requests as Poller merges them, and the masters are\n"
     "read side by side on the running event loop, one request on each at a time.\n"
     "\n"
     "A station that does not answer costs only its own master its time-outs: a failure ends its\n"
     "pass (its other requests are not sent, their points get the same failure), after\n"
     "max_failures failed passes in a row it is down, and tried again by one request per back-off (from its\n"
     "shortest period, doubling up to max_backoff), its points given its last failure meanwhile.\n"
     "Refusals are learned as Poller learns them (holes cut out, block limits found), and gateway\n"
     "exceptions 10 and 11 count as the unit being down.\n"
     "Example: poller = AsyncPoller(); poller.add(plc, \"level\", 1, \"holding\", 4, \"f\")"},
    {"AsyncPoller", "__init__",
     "Make an empty poller.\n"
     "\n"
     "Args: max_gap, the most unused registers read to merge two points, or \"auto\": each\n"
     "master's gap follows its round trips (on the loop's clock) as Poller's does; max_bit_gap,\n"
     "the same for coils and discrete inputs; max_failures, the failed passes in a row\n"
     "(time-outs, CRC errors, mismatches, lost connections, gateway exceptions 10 and 11: a\n"
     "failure ends the station's pass and counts once) that mark a station down; max_backoff,\n"
     "the longest wait in seconds between two tries of a station that is down; learned, a list\n"
     "as the learned property gives it, one Poller-shaped dict per master in the order the\n"
     "masters are first added.\n"
     "Raises: ValueError for a negative gap, a max_gap text other than \"auto\", max_failures\n"
     "below 1, a max_backoff that is not a positive number, or an entry of learned out of\n"
     "range; TypeError for a learned that is not a list of dicts as Poller.learned gives them.\n"
     "Example: poller = AsyncPoller(max_gap=\"auto\", learned=json.load(file))"},
    {"AsyncPoller", "add",
     "Add a point read through `master`: a value of `format` (registers) or one bit at `address`\n"
     "of `table` ('holding', 'input', 'coil', 'discrete') of `station`, read every `period` seconds.\n"
     "\n"
     "Raises: TypeError for a master that is not an AsyncMaster or AsyncModbusTCPMaster;\n"
     "ValueError for a repeated name (over all masters), an unknown table, a bad format or\n"
     "order, a period that is not positive, a point past address 65535, station 0 on an\n"
     "AsyncMaster, or a station other than an AsyncModbusTCPMaster's own; OverflowError for a\n"
     "station outside 0..255 or an address outside 0..65535.\n"
     "Example: poller.add(plc, \"level\", 1, \"holding\", 4, \"f\")"},
    {"AsyncPoller", "poll",
     "One pass over every due request of every master, the masters side by side: name -> value,\n"
     "or the exception of the point's failed request.\n"
     "\n"
     "Cancelled, the requests under way are cancelled and nothing of them is counted.\n"
     "Raises: RuntimeError while another pass of this poller (poll() or run()) is under way.\n"
     "Example: values = await poller.poll()"},
    {"AsyncPoller", "run",
     "An async iterator of readings: each master's passes follow its points' periods, and each\n"
     "pass that ends is one reading (name -> value | exception, that master's points due then);\n"
     "stops after `duration` seconds from its first step (None: never).\n"
     "\n"
     "A master slowed by a station that does not answer delays no other master's readings.\n"
     "Cancelling the step that waits (or the iterator's aclose()) ends the run and cancels the\n"
     "requests under way. One run at a time: its first step raises RuntimeError while another\n"
     "pass of this poller is under way.\n"
     "Raises: ValueError for a negative duration.\n"
     "Example: async for values in poller.run(duration=10.0): print(values)"},
    {"AsyncPoller", "plan",
     "The requests a pass sends: (master, station, table, address, count, [names])."},
    {"AsyncPoller", "stats",
     "Figures per master and station: {master: {station: {name: figure}}}, as Poller.stats gives\n"
     "them (rtt, last_success and backoff in seconds of the event loop's clock)."},
    {"AsyncPoller", "write",
     "Write a point's value (its format and order) through its master: write_registers (function\n"
     "code 16) for a holding register point, write_coil (function code 5) for a coil point. The\n"
     "master sends it before the reads that wait, so it goes out before the poller's next read\n"
     "on that master; it returns when written, or raises as the master does.\n"
     "\n"
     "Raises: KeyError for an unknown name; ValueError for an input register or discrete input\n"
     "point, or a value its format cannot hold; TypeError for a value of the wrong type.\n"
     "Example: await poller.write(\"setpoint\", 21.5)"},
    {"AsyncPoller", "learned",
     "What was learned of each master's stations, as plain data json.dumps takes: one dict per\n"
     "master in the order the masters were first added, each as Poller.learned gives it\n"
     "(station -> table -> cuts, max_block, largest_read, smallest_refused), then the entries\n"
     "given to the constructor for masters not added yet.\n"
     "Example: json.dump(poller.learned, file)"},
    {"Master", "_Master__read_int32",
     "Read one 32-bit value (sign 'i', 'I' or 'f') from two holding registers."},
    {"Master", "_Master__read_multi_int32",
     "Read count 32-bit values (sign 'i', 'I' or 'f') in one request."},
    {"Master", "_Master__write_int32",
     "Write one 32-bit value (sign 'i', 'I' or 'f') to two holding registers."},
    {"Master", "_Master__write_multi_int32",
     "Write 32-bit values (sign 'i', 'I' or 'f') in one request."},
    {"Master", "_Master__send_read_xx_registers_request",
     "Send a register read request with function code code."},
    {"Master", "_Master__read_xx_coils",
     "Read count coils (code 1) or discrete inputs (code 2)."},
    {"Master", "_Master__send_read_xx_coils_request",
     "Send a coil (code 1) or discrete input (code 2) read request."},
    {"Master", "_Master__read",
     "Read up to size bytes from the channel, waiting at most the time-out."},
    {"Master", "_Master__feedback_assistant",
     "Read and check the answer of station of normal_msg_len bytes."},
    {"Master", "_Master__check_crc",
     "Raise ValueError when message (an answer of station) has a CRC error."},
};

struct ReferenceAnnotation {
    const char* owner;
    const char* key;
    const char* param;  // "return": the result
    const char* text;   // shown only: starts with '~'
};

constexpr ReferenceAnnotation annotations[] = {
    {"ModbusStatic", "decode_values", "registers", "~Sequence[int]"},
    {"ModbusStatic", "decode_values", "format", "~str"},
    {"ModbusStatic", "decode_values", "order", "~str"},
    {"ModbusStatic", "decode_values", "return", "~list[int | float | bytes]"},
    {"ModbusStatic", "encode_values", "format", "~str"},
    {"ModbusStatic", "encode_values", "values", "~Sequence[int | float | bytes | bytearray]"},
    {"ModbusStatic", "encode_values", "order", "~str"},
    {"ModbusStatic", "encode_values", "return", "~list[int]"},
    {"Master", "write_coils", "station", "~int"},
    {"Master", "write_coils", "address", "~int"},
    {"Master", "write_coils", "values", "~Sequence[object]"},
    {"Master", "write_coils", "return", "~None"},
    {"Master", "mask_write_register", "station", "~int"},
    {"Master", "mask_write_register", "address", "~int"},
    {"Master", "mask_write_register", "and_mask", "~int"},
    {"Master", "mask_write_register", "or_mask", "~int"},
    {"Master", "mask_write_register", "return", "~None"},
    {"Master", "read_write_registers", "station", "~int"},
    {"Master", "read_write_registers", "read_address", "~int"},
    {"Master", "read_write_registers", "read_count", "~int"},
    {"Master", "read_write_registers", "write_address", "~int"},
    {"Master", "read_write_registers", "values", "~Sequence[int]"},
    {"Master", "read_write_registers", "return", "~list[int]"},
    {"Master", "read_device_identification", "station", "~int"},
    {"Master", "read_device_identification", "read_code", "~int"},
    {"Master", "read_device_identification", "object_id", "~int"},
    {"Master", "read_device_identification", "return", "~dict[int, bytes]"},
    {"Master", "read_values", "station", "~int"},
    {"Master", "read_values", "address", "~int"},
    {"Master", "read_values", "format", "~str"},
    {"Master", "read_values", "order", "~str"},
    {"Master", "read_values", "func_code", "~int"},
    {"Master", "read_values", "return", "~list[Any]"},
    {"Master", "write_values", "station", "~int"},
    {"Master", "write_values", "address", "~int"},
    {"Master", "write_values", "format", "~str"},
    {"Master", "write_values", "values", "~Sequence[Any]"},
    {"Master", "write_values", "order", "~str"},
    {"Master", "write_values", "return", "~None"},
    {"Master", "retries", "return", "~int"},
    {"Master", "retries", "value", "~int"},
    {"Master", "recovery_delay", "return", "~float"},
    {"Master", "recovery_delay", "value", "~float | None"},
    {"Master", "read_exception_status", "station", "~int"},
    {"Master", "read_exception_status", "return", "~int"},
    {"Master", "diagnostics", "station", "~int"},
    {"Master", "diagnostics", "sub_function", "~int"},
    {"Master", "diagnostics", "data", "~bytes"},
    {"Master", "diagnostics", "return", "~bytes"},
    {"Master", "get_comm_event_counter", "station", "~int"},
    {"Master", "get_comm_event_counter", "return", "~tuple[int, int]"},
    {"Master", "get_comm_event_log", "station", "~int"},
    {"Master", "get_comm_event_log", "return", "~tuple[int, int, int, bytes]"},
    {"Master", "report_server_id", "station", "~int"},
    {"Master", "report_server_id", "return", "~bytes"},
    {"Master", "read_file_record", "station", "~int"},
    {"Master", "read_file_record", "requests", "~Sequence[tuple[int, int, int]]"},
    {"Master", "read_file_record", "return", "~list[list[int]]"},
    {"Master", "write_file_record", "station", "~int"},
    {"Master", "write_file_record", "requests", "~Sequence[tuple[int, int, Sequence[int]]]"},
    {"Master", "write_file_record", "return", "~None"},
    {"Master", "read_fifo_queue", "station", "~int"},
    {"Master", "read_fifo_queue", "address", "~int"},
    {"Master", "read_fifo_queue", "return", "~list[int]"},
    {"Master", "execute", "station", "~int"},
    {"Master", "execute", "function_code", "~int"},
    {"Master", "execute", "data", "~bytes"},
    {"Master", "execute", "length", "~int | Callable[[bytes], int] | None"},
    {"Master", "execute", "return", "~bytes"},
    {"Master", "trace", "return", "~Callable[[TrafficRecord], object] | None"},
    {"Master", "trace", "value", "~Callable[[TrafficRecord], object] | None"},
    {"FixMaster", "write_coils", "address", "~int"},
    {"FixMaster", "write_coils", "values", "~Sequence[object]"},
    {"FixMaster", "write_coils", "return", "~None"},
    {"FixMaster", "mask_write_register", "address", "~int"},
    {"FixMaster", "mask_write_register", "and_mask", "~int"},
    {"FixMaster", "mask_write_register", "or_mask", "~int"},
    {"FixMaster", "mask_write_register", "return", "~None"},
    {"FixMaster", "read_write_registers", "read_address", "~int"},
    {"FixMaster", "read_write_registers", "read_count", "~int"},
    {"FixMaster", "read_write_registers", "write_address", "~int"},
    {"FixMaster", "read_write_registers", "values", "~Sequence[int]"},
    {"FixMaster", "read_write_registers", "return", "~list[int]"},
    {"FixMaster", "read_device_identification", "read_code", "~int"},
    {"FixMaster", "read_device_identification", "object_id", "~int"},
    {"FixMaster", "read_device_identification", "return", "~dict[int, bytes]"},
    {"FixMaster", "read_values", "address", "~int"},
    {"FixMaster", "read_values", "format", "~str"},
    {"FixMaster", "read_values", "order", "~str"},
    {"FixMaster", "read_values", "func_code", "~int"},
    {"FixMaster", "read_values", "return", "~list[Any]"},
    {"FixMaster", "write_values", "address", "~int"},
    {"FixMaster", "write_values", "format", "~str"},
    {"FixMaster", "write_values", "values", "~Sequence[Any]"},
    {"FixMaster", "write_values", "order", "~str"},
    {"FixMaster", "write_values", "return", "~None"},
    {"FixMaster", "retries", "return", "~int"},
    {"FixMaster", "retries", "value", "~int"},
    {"FixMaster", "recovery_delay", "return", "~float"},
    {"FixMaster", "recovery_delay", "value", "~float | None"},
    {"FixMaster", "read_exception_status", "return", "~int"},
    {"FixMaster", "diagnostics", "sub_function", "~int"},
    {"FixMaster", "diagnostics", "data", "~bytes"},
    {"FixMaster", "diagnostics", "return", "~bytes"},
    {"FixMaster", "get_comm_event_counter", "return", "~tuple[int, int]"},
    {"FixMaster", "get_comm_event_log", "return", "~tuple[int, int, int, bytes]"},
    {"FixMaster", "report_server_id", "return", "~bytes"},
    {"FixMaster", "read_file_record", "requests", "~Sequence[tuple[int, int, int]]"},
    {"FixMaster", "read_file_record", "return", "~list[list[int]]"},
    {"FixMaster", "write_file_record", "requests", "~Sequence[tuple[int, int, Sequence[int]]]"},
    {"FixMaster", "write_file_record", "return", "~None"},
    {"FixMaster", "read_fifo_queue", "address", "~int"},
    {"FixMaster", "read_fifo_queue", "return", "~list[int]"},
    {"FixMaster", "execute", "function_code", "~int"},
    {"FixMaster", "execute", "data", "~bytes"},
    {"FixMaster", "execute", "length", "~int | Callable[[bytes], int] | None"},
    {"FixMaster", "execute", "return", "~bytes"},
    {"FixMaster", "trace", "return", "~Callable[[TrafficRecord], object] | None"},
    {"FixMaster", "trace", "value", "~Callable[[TrafficRecord], object] | None"},
    {"ModbusTCPMaster", "read_input_registers", "address", "~int"},
    {"ModbusTCPMaster", "read_input_registers", "count", "~int"},
    {"ModbusTCPMaster", "read_input_registers", "return", "~list[int]"},
    {"ModbusTCPMaster", "read_input_register", "address", "~int"},
    {"ModbusTCPMaster", "read_input_register", "return", "~int"},
    {"ModbusTCPMaster", "read_input_coils", "address", "~int"},
    {"ModbusTCPMaster", "read_input_coils", "count", "~int"},
    {"ModbusTCPMaster", "read_input_coils", "return", "~list[bool]"},
    {"ModbusTCPMaster", "read_coil", "address", "~int"},
    {"ModbusTCPMaster", "read_coil", "return", "~bool"},
    {"ModbusTCPMaster", "write_single_register", "address", "~int"},
    {"ModbusTCPMaster", "write_single_register", "value", "~int"},
    {"ModbusTCPMaster", "write_single_register", "return", "~None"},
    {"ModbusTCPMaster", "read_int16", "address", "~int"},
    {"ModbusTCPMaster", "read_int16", "return", "~int"},
    {"ModbusTCPMaster", "read_uint16", "address", "~int"},
    {"ModbusTCPMaster", "read_uint16", "return", "~int"},
    {"ModbusTCPMaster", "write_int16", "address", "~int"},
    {"ModbusTCPMaster", "write_int16", "value", "~int"},
    {"ModbusTCPMaster", "write_int16", "return", "~None"},
    {"ModbusTCPMaster", "write_uint16", "address", "~int"},
    {"ModbusTCPMaster", "write_uint16", "value", "~int"},
    {"ModbusTCPMaster", "write_uint16", "return", "~None"},
    {"ModbusTCPMaster", "read_uint32", "address", "~int"},
    {"ModbusTCPMaster", "read_uint32", "endian", "~str"},
    {"ModbusTCPMaster", "read_uint32", "return", "~int"},
    {"ModbusTCPMaster", "read_int32", "address", "~int"},
    {"ModbusTCPMaster", "read_int32", "endian", "~str"},
    {"ModbusTCPMaster", "read_int32", "return", "~int"},
    {"ModbusTCPMaster", "read_float", "address", "~int"},
    {"ModbusTCPMaster", "read_float", "endian", "~str"},
    {"ModbusTCPMaster", "read_float", "return", "~float"},
    {"ModbusTCPMaster", "read_multi_uint32", "address", "~int"},
    {"ModbusTCPMaster", "read_multi_uint32", "count", "~int"},
    {"ModbusTCPMaster", "read_multi_uint32", "endian", "~str"},
    {"ModbusTCPMaster", "read_multi_uint32", "return", "~list[int]"},
    {"ModbusTCPMaster", "read_multi_int32", "address", "~int"},
    {"ModbusTCPMaster", "read_multi_int32", "count", "~int"},
    {"ModbusTCPMaster", "read_multi_int32", "endian", "~str"},
    {"ModbusTCPMaster", "read_multi_int32", "return", "~list[int]"},
    {"ModbusTCPMaster", "read_multi_float", "address", "~int"},
    {"ModbusTCPMaster", "read_multi_float", "count", "~int"},
    {"ModbusTCPMaster", "read_multi_float", "endian", "~str"},
    {"ModbusTCPMaster", "read_multi_float", "return", "~list[float]"},
    {"ModbusTCPMaster", "write_int32", "address", "~int"},
    {"ModbusTCPMaster", "write_int32", "value", "~int"},
    {"ModbusTCPMaster", "write_int32", "endian", "~str"},
    {"ModbusTCPMaster", "write_int32", "return", "~None"},
    {"ModbusTCPMaster", "write_uint32", "address", "~int"},
    {"ModbusTCPMaster", "write_uint32", "value", "~int"},
    {"ModbusTCPMaster", "write_uint32", "endian", "~str"},
    {"ModbusTCPMaster", "write_uint32", "return", "~None"},
    {"ModbusTCPMaster", "write_float", "address", "~int"},
    {"ModbusTCPMaster", "write_float", "value", "~float"},
    {"ModbusTCPMaster", "write_float", "endian", "~str"},
    {"ModbusTCPMaster", "write_float", "return", "~None"},
    {"ModbusTCPMaster", "write_multi_int32", "address", "~int"},
    {"ModbusTCPMaster", "write_multi_int32", "values", "~Iterable[int]"},
    {"ModbusTCPMaster", "write_multi_int32", "endian", "~str"},
    {"ModbusTCPMaster", "write_multi_int32", "return", "~None"},
    {"ModbusTCPMaster", "write_multi_uint32", "address", "~int"},
    {"ModbusTCPMaster", "write_multi_uint32", "values", "~Iterable[int]"},
    {"ModbusTCPMaster", "write_multi_uint32", "endian", "~str"},
    {"ModbusTCPMaster", "write_multi_uint32", "return", "~None"},
    {"ModbusTCPMaster", "write_multi_float", "address", "~int"},
    {"ModbusTCPMaster", "write_multi_float", "values", "~Iterable[float]"},
    {"ModbusTCPMaster", "write_multi_float", "endian", "~str"},
    {"ModbusTCPMaster", "write_multi_float", "return", "~None"},
    {"ModbusTCPMaster", "write_coils", "address", "~int"},
    {"ModbusTCPMaster", "write_coils", "values", "~Iterable[object]"},
    {"ModbusTCPMaster", "write_coils", "return", "~None"},
    {"ModbusTCPMaster", "mask_write_register", "address", "~int"},
    {"ModbusTCPMaster", "mask_write_register", "and_mask", "~int"},
    {"ModbusTCPMaster", "mask_write_register", "or_mask", "~int"},
    {"ModbusTCPMaster", "mask_write_register", "return", "~None"},
    {"ModbusTCPMaster", "read_write_registers", "read_address", "~int"},
    {"ModbusTCPMaster", "read_write_registers", "read_count", "~int"},
    {"ModbusTCPMaster", "read_write_registers", "write_address", "~int"},
    {"ModbusTCPMaster", "read_write_registers", "values", "~list[int]"},
    {"ModbusTCPMaster", "read_write_registers", "return", "~list[int]"},
    {"ModbusTCPMaster", "read_device_identification", "read_code", "~int"},
    {"ModbusTCPMaster", "read_device_identification", "object_id", "~int"},
    {"ModbusTCPMaster", "read_device_identification", "return", "~dict[int, bytes]"},
    {"ModbusTCPMaster", "read_values", "address", "~int"},
    {"ModbusTCPMaster", "read_values", "format", "~str"},
    {"ModbusTCPMaster", "read_values", "order", "~str"},
    {"ModbusTCPMaster", "read_values", "func_code", "~int"},
    {"ModbusTCPMaster", "read_values", "return", "~list[int | float | bytes]"},
    {"ModbusTCPMaster", "write_values", "address", "~int"},
    {"ModbusTCPMaster", "write_values", "format", "~str"},
    {"ModbusTCPMaster", "write_values", "values", "~Sequence[int | float | bytes | bytearray]"},
    {"ModbusTCPMaster", "write_values", "order", "~str"},
    {"ModbusTCPMaster", "write_values", "return", "~None"},
    {"ModbusTCPMaster", "retries", "return", "~int"},
    {"ModbusTCPMaster", "retries", "value", "~int"},
    {"ModbusTCPMaster", "reconnect", "return", "~bool"},
    {"ModbusTCPMaster", "reconnect", "value", "~bool"},
    {"ModbusTCPMaster", "diagnostics", "sub_function", "~int"},
    {"ModbusTCPMaster", "diagnostics", "data", "~bytes"},
    {"ModbusTCPMaster", "diagnostics", "return", "~bytes"},
    {"ModbusTCPMaster", "report_server_id", "return", "~bytes"},
    {"ModbusTCPMaster", "read_file_record", "requests", "~Sequence[tuple[int, int, int]]"},
    {"ModbusTCPMaster", "read_file_record", "return", "~list[list[int]]"},
    {"ModbusTCPMaster", "write_file_record", "requests", "~Sequence[tuple[int, int, Sequence[int]]]"},
    {"ModbusTCPMaster", "write_file_record", "return", "~None"},
    {"ModbusTCPMaster", "read_fifo_queue", "address", "~int"},
    {"ModbusTCPMaster", "read_fifo_queue", "return", "~list[int]"},
    {"ModbusTCPMaster", "execute", "function_code", "~int"},
    {"ModbusTCPMaster", "execute", "data", "~bytes"},
    {"ModbusTCPMaster", "execute", "length", "~int | Callable[[bytes], int] | None"},
    {"ModbusTCPMaster", "execute", "return", "~bytes"},
    {"ModbusTCPMaster", "trace", "return", "~Callable[[TrafficRecord], object] | None"},
    {"ModbusTCPMaster", "trace", "value", "~Callable[[TrafficRecord], object] | None"},
    {"Poller", "__init__", "master", "~Master | FixMaster | ModbusTCPMaster"},
    {"Poller", "__init__", "max_gap", "~int | str"},
    {"Poller", "__init__", "max_bit_gap", "~int"},
    {"Poller", "__init__", "clock", "~Callable[[], float] | None"},
    {"Poller", "__init__", "max_failures", "~int"},
    {"Poller", "__init__", "max_backoff", "~float"},
    {"Poller", "__init__", "learned", "~dict | None"},
    {"Poller", "__init__", "return", "~None"},
    {"Poller", "add", "name", "~str"},
    {"Poller", "add", "station", "~int"},
    {"Poller", "add", "table", "~str"},
    {"Poller", "add", "address", "~int"},
    {"Poller", "add", "format", "~str"},
    {"Poller", "add", "order", "~str"},
    {"Poller", "add", "period", "~float"},
    {"Poller", "add", "return", "~None"},
    {"Poller", "plan", "learned", "~bool"},
    {"Poller", "plan", "return", "~list[tuple[int, str, int, int, list[str]]]"},
    {"Poller", "poll", "return", "~dict[str, Any]"},
    {"Poller", "run", "duration", "~float | None"},
    {"Poller", "run", "return", "~Iterator[dict[str, Any]]"},
    {"Poller", "stats", "return", "~dict[int, dict[str, int | float | str | None]]"},
    {"Poller", "master", "return", "~Master | FixMaster | ModbusTCPMaster"},
    {"Poller", "write", "name", "~str"},
    {"Poller", "write", "value", "~Any"},
    {"Poller", "write", "return", "~None"},
    {"Poller", "learned", "return", "~dict[str, dict[str, dict[str, Any]]]"},
    {"AsyncModbusTCPMaster", "__init__", "host", "~str"},
    {"AsyncModbusTCPMaster", "__init__", "port", "~int"},
    {"AsyncModbusTCPMaster", "__init__", "timeout", "~float"},
    {"AsyncModbusTCPMaster", "__init__", "station", "~int"},
    {"AsyncModbusTCPMaster", "__init__", "max_in_flight", "~int"},
    {"AsyncModbusTCPMaster", "__init__", "ssl_context", "~ssl.SSLContext | None"},
    {"AsyncModbusTCPMaster", "__init__", "return", "~None"},
    {"AsyncModbusTCPMaster", "connect", "return", "~None"},
    {"AsyncModbusTCPMaster", "close", "return", "~None"},
    {"AsyncModbusTCPMaster", "aclose", "return", "~None"},
    {"AsyncModbusTCPMaster", "__aenter__", "return", "~AsyncModbusTCPMaster"},
    {"AsyncModbusTCPMaster", "__aexit__", "exc_type", "~type[BaseException] | None"},
    {"AsyncModbusTCPMaster", "__aexit__", "exc_val", "~BaseException | None"},
    {"AsyncModbusTCPMaster", "__aexit__", "exc_tb", "~TracebackType | None"},
    {"AsyncModbusTCPMaster", "__aexit__", "return", "~None"},
    {"AsyncModbusTCPMaster", "transport", "return", "~Any"},
    {"AsyncModbusTCPMaster", "timeout", "return", "~float"},
    {"AsyncModbusTCPMaster", "station", "return", "~int"},
    {"AsyncModbusTCPMaster", "station", "value", "~int"},
    {"AsyncModbusTCPMaster", "max_in_flight", "return", "~int"},
    {"AsyncModbusTCPMaster", "max_in_flight", "value", "~int"},
    {"AsyncModbusTCPMaster", "last_command_sent", "return", "~bytes"},
    {"AsyncModbusTCPMaster", "last_feedback_received", "return", "~bytes"},
    {"AsyncModbusTCPMaster", "last_command_sent_hex", "return", "~str"},
    {"AsyncModbusTCPMaster", "last_feedback_received_hex", "return", "~str"},
    {"AsyncModbusTCPMaster", "protocol", "return", "~int"},
    {"AsyncModbusTCPMaster", "read_coils", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_coils", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_coils", "return", "~list[bool]"},
    {"AsyncModbusTCPMaster", "read_registers", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_registers", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_registers", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_register", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_register", "return", "~int"},
    {"AsyncModbusTCPMaster", "write_registers", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_registers", "values", "~list[int]"},
    {"AsyncModbusTCPMaster", "write_registers", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_register", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_register", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_register", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_coil", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_coil", "value", "~object"},
    {"AsyncModbusTCPMaster", "write_coil", "return", "~None"},
    {"AsyncModbusTCPMaster", "read_input_registers", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_input_registers", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_input_registers", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_input_register", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_input_register", "return", "~int"},
    {"AsyncModbusTCPMaster", "read_input_coils", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_input_coils", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_input_coils", "return", "~list[bool]"},
    {"AsyncModbusTCPMaster", "read_coil", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_coil", "return", "~bool"},
    {"AsyncModbusTCPMaster", "write_single_register", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_single_register", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_single_register", "return", "~None"},
    {"AsyncModbusTCPMaster", "read_int16", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_int16", "return", "~int"},
    {"AsyncModbusTCPMaster", "read_uint16", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_uint16", "return", "~int"},
    {"AsyncModbusTCPMaster", "write_int16", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_int16", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_int16", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_uint16", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_uint16", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_uint16", "return", "~None"},
    {"AsyncModbusTCPMaster", "read_uint32", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_uint32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_uint32", "return", "~int"},
    {"AsyncModbusTCPMaster", "read_int32", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_int32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_int32", "return", "~int"},
    {"AsyncModbusTCPMaster", "read_float", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_float", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_float", "return", "~float"},
    {"AsyncModbusTCPMaster", "read_multi_uint32", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_uint32", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_uint32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_multi_uint32", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_multi_int32", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_int32", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_int32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_multi_int32", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_multi_float", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_float", "count", "~int"},
    {"AsyncModbusTCPMaster", "read_multi_float", "endian", "~str"},
    {"AsyncModbusTCPMaster", "read_multi_float", "return", "~list[float]"},
    {"AsyncModbusTCPMaster", "write_int32", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_int32", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_int32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_int32", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_uint32", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_uint32", "value", "~int"},
    {"AsyncModbusTCPMaster", "write_uint32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_uint32", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_float", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_float", "value", "~float"},
    {"AsyncModbusTCPMaster", "write_float", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_float", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_multi_int32", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_multi_int32", "values", "~Iterable[int]"},
    {"AsyncModbusTCPMaster", "write_multi_int32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_multi_int32", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_multi_uint32", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_multi_uint32", "values", "~Iterable[int]"},
    {"AsyncModbusTCPMaster", "write_multi_uint32", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_multi_uint32", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_multi_float", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_multi_float", "values", "~Iterable[float]"},
    {"AsyncModbusTCPMaster", "write_multi_float", "endian", "~str"},
    {"AsyncModbusTCPMaster", "write_multi_float", "return", "~None"},
    {"AsyncModbusTCPMaster", "write_coils", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_coils", "values", "~Iterable[object]"},
    {"AsyncModbusTCPMaster", "write_coils", "return", "~None"},
    {"AsyncModbusTCPMaster", "mask_write_register", "address", "~int"},
    {"AsyncModbusTCPMaster", "mask_write_register", "and_mask", "~int"},
    {"AsyncModbusTCPMaster", "mask_write_register", "or_mask", "~int"},
    {"AsyncModbusTCPMaster", "mask_write_register", "return", "~None"},
    {"AsyncModbusTCPMaster", "read_write_registers", "read_address", "~int"},
    {"AsyncModbusTCPMaster", "read_write_registers", "read_count", "~int"},
    {"AsyncModbusTCPMaster", "read_write_registers", "write_address", "~int"},
    {"AsyncModbusTCPMaster", "read_write_registers", "values", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_write_registers", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "read_device_identification", "read_code", "~int"},
    {"AsyncModbusTCPMaster", "read_device_identification", "object_id", "~int"},
    {"AsyncModbusTCPMaster", "read_device_identification", "return", "~dict[int, bytes]"},
    {"AsyncModbusTCPMaster", "read_values", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_values", "format", "~str"},
    {"AsyncModbusTCPMaster", "read_values", "order", "~str"},
    {"AsyncModbusTCPMaster", "read_values", "func_code", "~int"},
    {"AsyncModbusTCPMaster", "read_values", "return", "~list[Any]"},
    {"AsyncModbusTCPMaster", "write_values", "address", "~int"},
    {"AsyncModbusTCPMaster", "write_values", "format", "~str"},
    {"AsyncModbusTCPMaster", "write_values", "values", "~Sequence[int | float | bytes | bytearray]"},
    {"AsyncModbusTCPMaster", "write_values", "order", "~str"},
    {"AsyncModbusTCPMaster", "write_values", "return", "~None"},
    {"AsyncModbusTCPMaster", "retries", "return", "~int"},
    {"AsyncModbusTCPMaster", "retries", "value", "~int"},
    {"AsyncModbusTCPMaster", "reconnect", "return", "~bool"},
    {"AsyncModbusTCPMaster", "reconnect", "value", "~bool"},
    {"AsyncModbusTCPMaster", "diagnostics", "sub_function", "~int"},
    {"AsyncModbusTCPMaster", "diagnostics", "data", "~bytes"},
    {"AsyncModbusTCPMaster", "diagnostics", "return", "~bytes"},
    {"AsyncModbusTCPMaster", "report_server_id", "return", "~bytes"},
    {"AsyncModbusTCPMaster", "read_file_record", "requests", "~Sequence[tuple[int, int, int]]"},
    {"AsyncModbusTCPMaster", "read_file_record", "return", "~list[list[int]]"},
    {"AsyncModbusTCPMaster", "write_file_record", "requests", "~Sequence[tuple[int, int, Sequence[int]]]"},
    {"AsyncModbusTCPMaster", "write_file_record", "return", "~None"},
    {"AsyncModbusTCPMaster", "read_fifo_queue", "address", "~int"},
    {"AsyncModbusTCPMaster", "read_fifo_queue", "return", "~list[int]"},
    {"AsyncModbusTCPMaster", "execute", "function_code", "~int"},
    {"AsyncModbusTCPMaster", "execute", "data", "~bytes"},
    {"AsyncModbusTCPMaster", "execute", "length", "~int | Callable[[bytes], int] | None"},
    {"AsyncModbusTCPMaster", "execute", "return", "~bytes"},
    {"AsyncModbusTCPMaster", "trace", "return", "~Callable[[TrafficRecord], object] | None"},
    {"AsyncModbusTCPMaster", "trace", "value", "~Callable[[TrafficRecord], object] | None"},
    {"TrafficRecord", "direction", "return", "~str"},
    {"TrafficRecord", "data", "return", "~bytes"},
    {"TrafficRecord", "time", "return", "~float"},
    {"TrafficRecord", "station", "return", "~int"},
    {"TrafficRecord", "function", "return", "~int"},
    {"TrafficRecord", "outcome", "return", "~str | None"},
    {"TcpChannel", "__init__", "host", "~str"},
    {"TcpChannel", "__init__", "port", "~int"},
    {"TcpChannel", "__init__", "timeout", "~float"},
    {"TcpChannel", "__init__", "broadcast_delay", "~float"},
    {"TcpChannel", "__init__", "return", "~None"},
    {"TcpChannel", "read", "size", "~int"},
    {"TcpChannel", "read", "return", "~bytes"},
    {"TcpChannel", "write", "data", "~Any"},
    {"TcpChannel", "write", "return", "~int"},
    {"TcpChannel", "in_waiting", "return", "~int"},
    {"TcpChannel", "is_open", "return", "~bool"},
    {"TcpChannel", "close", "return", "~None"},
    {"TcpChannel", "timeout", "return", "~float"},
    {"TcpChannel", "timeout", "value", "~float"},
    {"TcpChannel", "address", "return", "~tuple"},
    {"TcpChannel", "broadcast_delay", "return", "~float"},
    {"TcpChannel", "__enter__", "return", "~TcpChannel"},
    {"TcpChannel", "__exit__", "exc_type", "~Any"},
    {"TcpChannel", "__exit__", "exc_val", "~Any"},
    {"TcpChannel", "__exit__", "exc_tb", "~Any"},
    {"TcpChannel", "__exit__", "return", "~None"},
    {"ModbusUDPMaster", "__init__", "host", "~str"},
    {"ModbusUDPMaster", "__init__", "port", "~int"},
    {"ModbusUDPMaster", "__init__", "timeout", "~float"},
    {"ModbusUDPMaster", "__init__", "station", "~int"},
    {"ModbusUDPMaster", "__init__", "return", "~None"},
    {"AsciiChannel", "__init__", "line", "~Any"},
    {"AsciiChannel", "__init__", "return", "~None"},
    {"AsciiChannel", "read", "size", "~int"},
    {"AsciiChannel", "read", "return", "~bytes"},
    {"AsciiChannel", "write", "data", "~Any"},
    {"AsciiChannel", "write", "return", "~int"},
    {"AsciiChannel", "in_waiting", "return", "~int"},
    {"AsciiChannel", "is_open", "return", "~Any"},
    {"AsciiChannel", "close", "return", "~None"},
    {"AsciiChannel", "timeout", "return", "~Any"},
    {"AsciiChannel", "timeout", "value", "~Any"},
    {"AsciiChannel", "line", "return", "~Any"},
    {"AsciiChannel", "__enter__", "return", "~AsciiChannel"},
    {"AsciiChannel", "__exit__", "exc_type", "~Any"},
    {"AsciiChannel", "__exit__", "exc_val", "~Any"},
    {"AsciiChannel", "__exit__", "exc_tb", "~Any"},
    {"AsciiChannel", "__exit__", "return", "~None"},
    {"AsyncMaster", "__init__", "port", "~str"},
    {"AsyncMaster", "__init__", "baudrate", "~int"},
    {"AsyncMaster", "__init__", "timeout", "~float"},
    {"AsyncMaster", "__init__", "return", "~None"},
    {"AsyncMaster", "connect", "return", "~None"},
    {"AsyncMaster", "close", "return", "~None"},
    {"AsyncMaster", "aclose", "return", "~None"},
    {"AsyncMaster", "__aenter__", "return", "~AsyncMaster"},
    {"AsyncMaster", "__aexit__", "exc_type", "~type[BaseException] | None"},
    {"AsyncMaster", "__aexit__", "exc_val", "~BaseException | None"},
    {"AsyncMaster", "__aexit__", "exc_tb", "~TracebackType | None"},
    {"AsyncMaster", "__aexit__", "return", "~None"},
    {"AsyncMaster", "transport", "return", "~Any"},
    {"AsyncMaster", "last_command_sent", "return", "~bytes"},
    {"AsyncMaster", "last_feedback_received", "return", "~bytes"},
    {"AsyncMaster", "last_command_sent_hex", "return", "~str"},
    {"AsyncMaster", "last_feedback_received_hex", "return", "~str"},
    {"AsyncMaster", "timeout", "return", "~float"},
    {"AsyncMaster", "timeout", "value", "~float"},
    {"AsyncMaster", "write_register", "station", "~int"},
    {"AsyncMaster", "write_register", "address", "~int"},
    {"AsyncMaster", "write_register", "value", "~int"},
    {"AsyncMaster", "write_register", "return", "~None"},
    {"AsyncMaster", "write_registers", "station", "~int"},
    {"AsyncMaster", "write_registers", "address", "~int"},
    {"AsyncMaster", "write_registers", "values", "~Sequence[int]"},
    {"AsyncMaster", "write_registers", "return", "~None"},
    {"AsyncMaster", "write_coil", "station", "~int"},
    {"AsyncMaster", "write_coil", "address", "~int"},
    {"AsyncMaster", "write_coil", "value", "~object"},
    {"AsyncMaster", "write_coil", "return", "~None"},
    {"AsyncMaster", "read_register", "station", "~int"},
    {"AsyncMaster", "read_register", "address", "~int"},
    {"AsyncMaster", "read_register", "func_code", "~int"},
    {"AsyncMaster", "read_register", "return", "~int"},
    {"AsyncMaster", "read_registers", "station", "~int"},
    {"AsyncMaster", "read_registers", "address", "~int"},
    {"AsyncMaster", "read_registers", "count", "~int"},
    {"AsyncMaster", "read_registers", "func_code", "~int"},
    {"AsyncMaster", "read_registers", "return", "~list[int]"},
    {"AsyncMaster", "read_input_register", "station", "~int"},
    {"AsyncMaster", "read_input_register", "address", "~int"},
    {"AsyncMaster", "read_input_register", "return", "~int"},
    {"AsyncMaster", "read_input_registers", "station", "~int"},
    {"AsyncMaster", "read_input_registers", "address", "~int"},
    {"AsyncMaster", "read_input_registers", "count", "~int"},
    {"AsyncMaster", "read_input_registers", "return", "~list[int]"},
    {"AsyncMaster", "read_int16", "station", "~int"},
    {"AsyncMaster", "read_int16", "address", "~int"},
    {"AsyncMaster", "read_int16", "return", "~int"},
    {"AsyncMaster", "read_uint16", "station", "~int"},
    {"AsyncMaster", "read_uint16", "address", "~int"},
    {"AsyncMaster", "read_uint16", "func_code", "~int"},
    {"AsyncMaster", "read_uint16", "return", "~int"},
    {"AsyncMaster", "write_int16", "station", "~int"},
    {"AsyncMaster", "write_int16", "address", "~int"},
    {"AsyncMaster", "write_int16", "value", "~int"},
    {"AsyncMaster", "write_int16", "return", "~None"},
    {"AsyncMaster", "write_uint16", "station", "~int"},
    {"AsyncMaster", "write_uint16", "address", "~int"},
    {"AsyncMaster", "write_uint16", "value", "~int"},
    {"AsyncMaster", "write_uint16", "return", "~None"},
    {"AsyncMaster", "read_uint32", "station", "~int"},
    {"AsyncMaster", "read_uint32", "address", "~int"},
    {"AsyncMaster", "read_uint32", "endian", "~str"},
    {"AsyncMaster", "read_uint32", "return", "~int"},
    {"AsyncMaster", "read_int32", "station", "~int"},
    {"AsyncMaster", "read_int32", "address", "~int"},
    {"AsyncMaster", "read_int32", "endian", "~str"},
    {"AsyncMaster", "read_int32", "return", "~int"},
    {"AsyncMaster", "read_float", "station", "~int"},
    {"AsyncMaster", "read_float", "address", "~int"},
    {"AsyncMaster", "read_float", "endian", "~str"},
    {"AsyncMaster", "read_float", "return", "~float"},
    {"AsyncMaster", "read_multi_uint32", "station", "~int"},
    {"AsyncMaster", "read_multi_uint32", "address", "~int"},
    {"AsyncMaster", "read_multi_uint32", "count", "~int"},
    {"AsyncMaster", "read_multi_uint32", "endian", "~str"},
    {"AsyncMaster", "read_multi_uint32", "return", "~list[int]"},
    {"AsyncMaster", "read_multi_int32", "station", "~int"},
    {"AsyncMaster", "read_multi_int32", "address", "~int"},
    {"AsyncMaster", "read_multi_int32", "count", "~int"},
    {"AsyncMaster", "read_multi_int32", "endian", "~str"},
    {"AsyncMaster", "read_multi_int32", "return", "~list[int]"},
    {"AsyncMaster", "read_multi_float", "station", "~int"},
    {"AsyncMaster", "read_multi_float", "address", "~int"},
    {"AsyncMaster", "read_multi_float", "count", "~int"},
    {"AsyncMaster", "read_multi_float", "endian", "~str"},
    {"AsyncMaster", "read_multi_float", "return", "~list[float]"},
    {"AsyncMaster", "write_int32", "station", "~int"},
    {"AsyncMaster", "write_int32", "address", "~int"},
    {"AsyncMaster", "write_int32", "value", "~int"},
    {"AsyncMaster", "write_int32", "endian", "~str"},
    {"AsyncMaster", "write_int32", "return", "~None"},
    {"AsyncMaster", "write_uint32", "station", "~int"},
    {"AsyncMaster", "write_uint32", "address", "~int"},
    {"AsyncMaster", "write_uint32", "value", "~int"},
    {"AsyncMaster", "write_uint32", "endian", "~str"},
    {"AsyncMaster", "write_uint32", "return", "~None"},
    {"AsyncMaster", "write_float", "station", "~int"},
    {"AsyncMaster", "write_float", "address", "~int"},
    {"AsyncMaster", "write_float", "value", "~float"},
    {"AsyncMaster", "write_float", "endian", "~str"},
    {"AsyncMaster", "write_float", "return", "~None"},
    {"AsyncMaster", "write_multi_int32", "station", "~int"},
    {"AsyncMaster", "write_multi_int32", "address", "~int"},
    {"AsyncMaster", "write_multi_int32", "values", "~Iterable[int]"},
    {"AsyncMaster", "write_multi_int32", "endian", "~str"},
    {"AsyncMaster", "write_multi_int32", "return", "~None"},
    {"AsyncMaster", "write_multi_uint32", "station", "~int"},
    {"AsyncMaster", "write_multi_uint32", "address", "~int"},
    {"AsyncMaster", "write_multi_uint32", "values", "~Iterable[int]"},
    {"AsyncMaster", "write_multi_uint32", "endian", "~str"},
    {"AsyncMaster", "write_multi_uint32", "return", "~None"},
    {"AsyncMaster", "write_multi_float", "station", "~int"},
    {"AsyncMaster", "write_multi_float", "address", "~int"},
    {"AsyncMaster", "write_multi_float", "values", "~Iterable[float]"},
    {"AsyncMaster", "write_multi_float", "endian", "~str"},
    {"AsyncMaster", "write_multi_float", "return", "~None"},
    {"AsyncMaster", "read_coil", "station", "~int"},
    {"AsyncMaster", "read_coil", "address", "~int"},
    {"AsyncMaster", "read_coil", "return", "~bool"},
    {"AsyncMaster", "read_coils", "station", "~int"},
    {"AsyncMaster", "read_coils", "address", "~int"},
    {"AsyncMaster", "read_coils", "count", "~int"},
    {"AsyncMaster", "read_coils", "return", "~list[bool]"},
    {"AsyncMaster", "read_input_coils", "station", "~int"},
    {"AsyncMaster", "read_input_coils", "address", "~int"},
    {"AsyncMaster", "read_input_coils", "count", "~int"},
    {"AsyncMaster", "read_input_coils", "return", "~list[bool]"},
    {"AsyncMaster", "write_coils", "station", "~int"},
    {"AsyncMaster", "write_coils", "address", "~int"},
    {"AsyncMaster", "write_coils", "values", "~Sequence[object]"},
    {"AsyncMaster", "write_coils", "return", "~None"},
    {"AsyncMaster", "mask_write_register", "station", "~int"},
    {"AsyncMaster", "mask_write_register", "address", "~int"},
    {"AsyncMaster", "mask_write_register", "and_mask", "~int"},
    {"AsyncMaster", "mask_write_register", "or_mask", "~int"},
    {"AsyncMaster", "mask_write_register", "return", "~None"},
    {"AsyncMaster", "read_write_registers", "station", "~int"},
    {"AsyncMaster", "read_write_registers", "read_address", "~int"},
    {"AsyncMaster", "read_write_registers", "read_count", "~int"},
    {"AsyncMaster", "read_write_registers", "write_address", "~int"},
    {"AsyncMaster", "read_write_registers", "values", "~Sequence[int]"},
    {"AsyncMaster", "read_write_registers", "return", "~list[int]"},
    {"AsyncMaster", "read_device_identification", "station", "~int"},
    {"AsyncMaster", "read_device_identification", "read_code", "~int"},
    {"AsyncMaster", "read_device_identification", "object_id", "~int"},
    {"AsyncMaster", "read_device_identification", "return", "~dict[int, bytes]"},
    {"AsyncMaster", "read_values", "station", "~int"},
    {"AsyncMaster", "read_values", "address", "~int"},
    {"AsyncMaster", "read_values", "format", "~str"},
    {"AsyncMaster", "read_values", "order", "~str"},
    {"AsyncMaster", "read_values", "func_code", "~int"},
    {"AsyncMaster", "read_values", "return", "~list[Any]"},
    {"AsyncMaster", "write_values", "station", "~int"},
    {"AsyncMaster", "write_values", "address", "~int"},
    {"AsyncMaster", "write_values", "format", "~str"},
    {"AsyncMaster", "write_values", "values", "~Sequence[Any]"},
    {"AsyncMaster", "write_values", "order", "~str"},
    {"AsyncMaster", "write_values", "return", "~None"},
    {"AsyncMaster", "retries", "return", "~int"},
    {"AsyncMaster", "retries", "value", "~int"},
    {"AsyncMaster", "recovery_delay", "return", "~float"},
    {"AsyncMaster", "recovery_delay", "value", "~float | None"},
    {"AsyncMaster", "read_exception_status", "station", "~int"},
    {"AsyncMaster", "read_exception_status", "return", "~int"},
    {"AsyncMaster", "diagnostics", "station", "~int"},
    {"AsyncMaster", "diagnostics", "sub_function", "~int"},
    {"AsyncMaster", "diagnostics", "data", "~bytes"},
    {"AsyncMaster", "diagnostics", "return", "~bytes"},
    {"AsyncMaster", "get_comm_event_counter", "station", "~int"},
    {"AsyncMaster", "get_comm_event_counter", "return", "~tuple[int, int]"},
    {"AsyncMaster", "get_comm_event_log", "station", "~int"},
    {"AsyncMaster", "get_comm_event_log", "return", "~tuple[int, int, int, bytes]"},
    {"AsyncMaster", "report_server_id", "station", "~int"},
    {"AsyncMaster", "report_server_id", "return", "~bytes"},
    {"AsyncMaster", "read_file_record", "station", "~int"},
    {"AsyncMaster", "read_file_record", "requests", "~Sequence[tuple[int, int, int]]"},
    {"AsyncMaster", "read_file_record", "return", "~list[list[int]]"},
    {"AsyncMaster", "write_file_record", "station", "~int"},
    {"AsyncMaster", "write_file_record", "requests", "~Sequence[tuple[int, int, Sequence[int]]]"},
    {"AsyncMaster", "write_file_record", "return", "~None"},
    {"AsyncMaster", "read_fifo_queue", "station", "~int"},
    {"AsyncMaster", "read_fifo_queue", "address", "~int"},
    {"AsyncMaster", "read_fifo_queue", "return", "~list[int]"},
    {"AsyncMaster", "execute", "station", "~int"},
    {"AsyncMaster", "execute", "function_code", "~int"},
    {"AsyncMaster", "execute", "data", "~bytes"},
    {"AsyncMaster", "execute", "length", "~int | Callable[[bytes], int] | None"},
    {"AsyncMaster", "execute", "return", "~bytes"},
    {"AsyncMaster", "trace", "return", "~Callable[[TrafficRecord], object] | None"},
    {"AsyncMaster", "trace", "value", "~Callable[[TrafficRecord], object] | None"},
    {"AsyncMaster", "serial", "return", "~Any"},
    {"AsyncMaster", "reconnect", "return", "~bool"},
    {"AsyncMaster", "reconnect", "value", "~bool"},
    {"AsyncPoller", "__init__", "max_gap", "~int | str"},
    {"AsyncPoller", "__init__", "max_bit_gap", "~int"},
    {"AsyncPoller", "__init__", "max_failures", "~int"},
    {"AsyncPoller", "__init__", "max_backoff", "~float"},
    {"AsyncPoller", "__init__", "learned", "~list | None"},
    {"AsyncPoller", "__init__", "return", "~None"},
    {"AsyncPoller", "add", "master", "~AsyncMaster | AsyncModbusTCPMaster"},
    {"AsyncPoller", "add", "name", "~str"},
    {"AsyncPoller", "add", "station", "~int"},
    {"AsyncPoller", "add", "table", "~str"},
    {"AsyncPoller", "add", "address", "~int"},
    {"AsyncPoller", "add", "format", "~str"},
    {"AsyncPoller", "add", "order", "~str"},
    {"AsyncPoller", "add", "period", "~float"},
    {"AsyncPoller", "add", "return", "~None"},
    {"AsyncPoller", "poll", "return", "~dict[str, Any]"},
    {"AsyncPoller", "run", "duration", "~float | None"},
    {"AsyncPoller", "run", "return", "~AsyncIterator[dict[str, Any]]"},
    {"AsyncPoller", "plan", "return", "~list[tuple[AsyncMaster | AsyncModbusTCPMaster, int, str, int, int, list[str]]]"},
    {"AsyncPoller", "stats", "return", "~dict[AsyncMaster | AsyncModbusTCPMaster, dict[int, dict[str, int | float | str | None]]]"},
    {"AsyncPoller", "write", "name", "~str"},
    {"AsyncPoller", "write", "value", "~Any"},
    {"AsyncPoller", "write", "return", "~None"},
    {"AsyncPoller", "learned", "return", "~list[dict[str, dict[str, dict[str, Any]]]]"},
};
// clang-format on

}  // namespace

const char* reference_annotation(const char* owner, const char* key, const char* param) noexcept {
    for (const ReferenceAnnotation& a : annotations)
        if (same(a.owner, owner) && same(a.key, key) && same(a.param, param)) return a.text;
    return nullptr;
}

const char* reference_doc(const char* owner, const char* key) noexcept {
    for (const ReferenceText& t : texts)
        if (same(t.owner, owner) && same(t.key, key)) return t.text;
    return nullptr;
}

}  // namespace brel
