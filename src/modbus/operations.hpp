// The operations written once for every master: build the PDU, run it through the master's exchange, decode.
//
// A master hands an operation an Exchange: its own way of putting one request PDU on
// its transport and of judging the answer (RTU: the station, the single writer, the
// answer read through its steps, the CRC and the line's bookkeeping; TCP: self.__query
// with the length it needs). The operation builds the request with adu.hpp, runs it and
// decodes what comes back. The class files keep their Python faces: they check their
// arguments (in their own order, before anything is sent), make their Exchange and call
// the operation here.
#pragma once

#include "modbus/adu.hpp"
#include "modbus/protocol.hpp"
#include "module/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace brel::ops {

// A request PDU, function code first, in the caller's buffer.
struct Pdu {
    const std::uint8_t* data;
    std::size_t size;
};

// What went wrong with an answer, for the master to say in its own words.
enum class Fault : std::uint8_t {
    WriteCoils,         // code 15's answer does not repeat the request
    MaskWriteRegister,  // code 22's answer does not repeat the request
    ReadRegisters,      // code 23's answer is not the registers asked for
    Identification,     // code 43/14's answer is not a page of the objects asked for
    ExceptionStatus,    // code 7's answer
    Diagnostics,        // code 8's answer does not repeat the sub-function (or the data)
    CommEventCounter,   // code 11's answer
    CommEventLog,       // code 12's answer
    ServerId,           // code 17's answer
    ReadFileRecord,     // code 20's answer is not the records asked for
    WriteFileRecord,    // code 21's answer does not repeat the request
    FifoQueue,          // code 24's answer
    Raw,                // the answer to a raw request
    ReadBits,           // code 1's or 2's answer is not the bits asked for
    WriteRegister,      // code 6's answer does not repeat the request
};

// How many more bytes an answer PDU needs beyond its first `known` (function code
// first); 0 when it is whole.
using MoreBytes = std::function<std::size_t(const std::uint8_t* pdu, std::size_t known)>;
// True when a whole answer PDU (function code first) is the one the request asked for.
using AnswerCheck = std::function<bool(const std::uint8_t* pdu, std::size_t size)>;

// How the length of an answer is found: the standard's rule, or the caller's (`more`,
// when set, in place of the rule's count; the rule still says whether an answer comes).
struct AnswerShape {
    modbus::AnswerSize size;
    MoreBytes more;

    std::size_t more_after(const std::uint8_t* pdu, std::size_t known) const {
        return more ? more(pdu, known) : modbus::answer_more(size, pdu, known);
    }
};

// Reads the answer PDU of one identification page (function code first); false when it
// cannot be parsed.
using PageReader = std::function<bool(const std::uint8_t* pdu, std::size_t size)>;

// Codes 1 to 6 and 16 as the masters whose requests are made by replaceable steps run them
// (ModbusTCPMaster's builders, Master's senders): the caller's own objects go to the step
// as they came, and the answer is judged against them, compared as the interpreter
// compares them, not against checked fields. The check says how.
enum class CarriedCheck : std::uint8_t {
    BitBytes,       // codes 1 and 2: the byte count against the count asked; at most count bits
    RegisterBytes,  // codes 3 and 4: the byte count; its registers (TCP: IndexError when the answer is short)
    RegistersEcho,  // code 16: the address and quantity echoed (TCP: against the caller's address and len(values))
    CoilEcho,       // code 5: the address and state echoed (TCP: the state against the builder's command)
    RegisterEcho,   // code 6 through Master's sender (the TCP masters run code 6 over checked fields)
};

// A request carried with the caller's objects its answer is judged against (borrowed: the
// call holds them).
struct Carried {
    PyObject* command;  // TCP: the request PDU its builder made (bytes, or what a replaced builder returned)
    CarriedCheck check;
    PyObject* address;   // as the caller passed it
    PyObject* subject;   // the count read, the values written or the value written
    std::size_t needed;  // TCP: the data bytes after the function code the answer must declare
    PyObject* code;      // Master's reads: the function code as the caller passed it, else nullptr
};

// One master's way of exchanging a request PDU for its answer.
class Exchange {
public:
    virtual ~Exchange() = default;

    // Sends `request`; its answer must repeat its first `answer_size` bytes (function code
    // included) by `rule`, or the master raises its error for `fault`. Nothing comes back
    // for a request that nobody answers (an RTU broadcast).
    virtual void confirm(Pdu request, std::size_t answer_size, modbus::AnswerRule rule, Fault fault) = 0;
    // Sends `request`, whose answer holds `count` registers (byte count, then two bytes
    // each), checked against the request; the registers as a list of ints.
    virtual Ref registers(Pdu request, std::size_t count, Fault fault) = 0;
    // Sends `request`, whose answer holds `count` bits (byte count, then eight a byte, the
    // first in the lowest bit), checked against the request; their states as a list of
    // bools (None for a broadcast). By default the answer of that fixed length through
    // answer().
    virtual Ref bits(Pdu request, std::size_t count, Fault fault);
    // Sends a code 43/14 request and hands its answer, found to belong to the request, to
    // `read`; the master raises its error for Fault::Identification when it does not
    // belong or `read` cannot parse it.
    virtual void page(Pdu request, const PageReader& read) = 0;
    // A page that says more follows names as the next object one that does not lie
    // beyond the one asked for: the reading would never end.
    [[noreturn]] virtual void no_progress(std::uint8_t next, std::uint8_t asked) = 0;

    // Sends `request` and reads its answer as long as `shape` says; the answer's PDU
    // (function code first), found to come from the station asked and for the code asked
    // (an exception answer raises as every member does) and accepted by `check`, or the
    // master raises its error for `fault`. Empty when no answer is due (a broadcast, a
    // request nobody answers).
    virtual std::vector<std::uint8_t> answer(Pdu request, const AnswerShape& shape, const AnswerCheck& check,
                                             Fault fault) = 0;

    // The master's own register members, looked up on the instance: self.read_registers
    // (or self.read_input_registers) for `n` registers with the function code `func_code`
    // (3 or 4), their words as the master takes them; self.write_registers with a list.
    virtual std::vector<std::uint16_t> read_words(PyObject* address, std::size_t n, PyObject* func_code) = 0;
    virtual void write_list(PyObject* address, PyObject* registers) = 0;

    // Sends a request made by the master's steps from the caller's objects and judges its
    // answer by the request's check; the bits or registers read, None for a write.
    virtual Ref carried(const Carried& request);
};

// Codes 1 to 6 and 16 carried (see Carried): `command` is the TCP masters' request as their
// builder made it (nullptr for Master, whose steps build and send it), `code` Master's
// function code of a read (nullptr for the TCP masters). The states of `count` bits, the
// `count` registers, or the write done.
Ref carried_read_bits(Exchange& ex, PyObject* command, PyObject* address, PyObject* count, PyObject* code = nullptr);
Ref carried_read_registers(Exchange& ex, PyObject* command, PyObject* address, PyObject* count,
                           PyObject* code = nullptr);
void carried_write_registers(Exchange& ex, PyObject* command, PyObject* address, PyObject* values);
void carried_write_coil(Exchange& ex, PyObject* command, PyObject* address, PyObject* value);
void carried_write_register(Exchange& ex, PyObject* address, PyObject* value);

// Codes 3 and 4 (`code`): `count` registers from `address`, as a list of ints.
Ref read_registers(Exchange& ex, std::uint8_t code, std::uint16_t address, std::uint16_t count);
// Codes 1 and 2 (`code`): the states of `count` coils or discrete inputs from `address`.
Ref read_bits(Exchange& ex, std::uint8_t code, std::uint16_t address, std::uint16_t count);
// Code 6: the register at `address` set to `value`.
void write_register(Exchange& ex, std::uint16_t address, std::uint16_t value);
// True when the answer PDU `answer` (function code first) answers the request PDU `request` by `rule`.
bool pdu_answers(Pdu request, modbus::AnswerRule rule, const std::uint8_t* answer, std::size_t size);

// Code 15: the coils from `address` set to `on`.
void write_coils(Exchange& ex, std::uint16_t address, const std::vector<std::uint8_t>& on);
// Code 22: the register at `address` set to (value AND and_mask) OR (or_mask AND NOT and_mask).
void mask_write_register(Exchange& ex, std::uint16_t address, std::uint16_t and_mask, std::uint16_t or_mask);
// Code 23: `count` registers from `write_address` written, then `read_count` read from
// `read_address`; the registers read.
Ref read_write_registers(Exchange& ex, std::uint16_t read_address, std::uint16_t read_count,
                         std::uint16_t write_address, const std::uint16_t* words, std::size_t count);
// Code 43/14, page by page from `object_id`: {object id: bytes}. A page that says more
// follows names the object to ask for next, which must lie beyond the one asked for.
Ref read_device_identification(Exchange& ex, std::uint8_t read_code, std::uint8_t object_id);
// One page of it: the objects of the answer PDU (function code first) added to the dict
// `objects`; false when the page cannot be parsed. (The asyncio master reads each page as
// its answer comes.)
bool read_identification_page(PyObject* objects, const std::uint8_t* answer, std::size_t size,
                              modbus::IdentificationPage& page);

// Code 7: the exception status byte.
Ref read_exception_status(Exchange& ex);
// Code 8: the answer's data after the sub-function. No data sends 00 00; a return query
// data answer must repeat the data.
Ref diagnostics(Exchange& ex, std::uint16_t sub_function, const std::uint8_t* data, std::size_t n);
// Code 11: (status, event count).
Ref get_comm_event_counter(Exchange& ex);
// Code 12: (status, event count, message count, events as bytes).
Ref get_comm_event_log(Exchange& ex);
// Code 17: the answer's data after its byte count.
Ref report_server_id(Exchange& ex);
// Code 20: the registers of each record asked for, a list per record.
Ref read_file_record(Exchange& ex, const std::vector<modbus::FileRecord>& records);
// Code 21: the records written; the answer repeats the request.
void write_file_record(Exchange& ex, const std::vector<modbus::FileRecord>& records);
// Code 24: the values in the FIFO queue at `address`.
Ref read_fifo_queue(Exchange& ex, std::uint16_t address);
// A request PDU of any function code: the answer's data after the function code. `length`
// is None (the code's rule, or the transport's frame), an int (the data's length) or a
// callable given the answer PDU so far and returning how many more bytes it needs.
Ref execute(Exchange& ex, std::uint8_t code, const std::uint8_t* data, std::size_t n, PyObject* length);
// The shape execute gives an answer by `length` (checked by check_raw_length).
AnswerShape raw_shape(const std::uint8_t* request, std::size_t size, PyObject* length);

// The values `layout` places in registers from `address`, read with `func_code` (3 or 4).
Ref read_values(Exchange& ex, PyObject* address, const ValueLayout& layout, PyObject* func_code);
// `values` placed by `layout` in registers from `address`.
void write_values(Exchange& ex, PyObject* address, const ValueLayout& layout, PyObject* values);

// The truth values of a tuple's items, for code 15 (each item's bool(), which may raise).
std::vector<std::uint8_t> truth_values(PyObject* items);

}  // namespace brel::ops
