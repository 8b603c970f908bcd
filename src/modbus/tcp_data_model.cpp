// ModbusTCPMaster's exchange over self.__query and its faces of the shared operations (codes 2, 4, 6 among them).
//
// Codes 8, 17, 20, 21 and 24 and raw requests are shared operations too; 7, 11 and 12 belong
// to the serial line only and are not members here.
#include "modbus/operations.hpp"
#include "modbus/tcp_master_shared.hpp"
#include "modbus/values.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace brel::tcp {

// ---- the data model: codes 2, 4, 6, 8, 15, 17, 20 to 24 and 43, raw requests, typed values -------
//
// Each member refuses what the protocol cannot carry before anything is sent, then runs
// the shared operation of operations.hpp over this master's exchange. The PDU goes
// through self.__query (looked up on the instance, so subclasses and the master's lock
// apply; the function code, the declared length and exception answers are checked
// there), and the answer must belong to the request by pdu_answer_matches. Typed values
// go through the codec of modbus/values.hpp and through self.read_registers /
// self.write_registers.

// An exact int that must lie in 1..top: OverflowError beyond its 16-bit field, ValueError
// outside the protocol's limit.
std::size_t limited_count(PyObject* count, const char* what, std::size_t top) {
    const std::size_t n = field_value(count, what, modbus::kMaxAddress);
    check_count(n, top, what);
    return n;
}

// self.__query(pdu, needed) with a PDU built here; the data after the function code as
// bytes (an answer of another type from a replaced query is converted as bytes() would).
Ref exchange(PyObject* self, const std::uint8_t* pdu, std::size_t size, PyObject* needed) {
    Ref command = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(pdu), static_cast<Py_ssize_t>(size)));
    Ref feedback = query_of(self, command.get(), needed);
    if (PyBytes_CheckExact(feedback.get())) return feedback;
    return own(PyBytes_FromObject(feedback.get()));
}

Ref exchange(PyObject* self, const std::uint8_t* pdu, std::size_t size, std::size_t needed) {
    Ref length = own(PyLong_FromSize_t(needed));
    return exchange(self, pdu, size, length.get());
}

// True when `data` (what follows the function code) answers the request PDU by `rule`.
bool answers(const std::uint8_t* request, std::size_t size, modbus::AnswerRule rule, PyObject* data) {
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    std::vector<std::uint8_t> pdu(1 + static_cast<std::size_t>(length));
    pdu[0] = request[0];
    std::memcpy(pdu.data() + 1, PyBytes_AS_STRING(data), static_cast<std::size_t>(length));
    return ops::pdu_answers({request, size}, rule, pdu.data(), pdu.size());
}

// "<prefix> address [N] to <peer> failed."
[[noreturn]] void raise_write_failed(const Peer& peer, const char* prefix, PyObject* address) {
    Ref number = own(PyObject_Str(address));
    Ref head = own(PyUnicode_FromFormat("%s address [%U] to ", prefix, number.get()));
    Ref message = peer.message(head.get(), BREL_STR(" failed."));
    raise_assertion(message.get());
}

// The registers of a checked read answer: byte count, then two bytes per register.
Ref registers_of(PyObject* data) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data)) + 1;
    const Py_ssize_t n = (PyBytes_GET_SIZE(data) - 1) / 2;
    Ref result = own(PyList_New(n));
    fill_registers(result.get(), p);
    return result;
}

Ref read_input_register(Args& a) { return read_one(a, BREL_STR("read_input_registers")); }

Ref read_coil(Args& a) { return read_one(a, BREL_STR("read_coils")); }

const char* write_prefix(ops::Fault fault) {
    switch (fault) {
        case ops::Fault::WriteCoils:
            return "Write coils";
        case ops::Fault::WriteRegister:
            return "Write register";
        default:
            return "Mask write register";
    }
}

void identification_answer(const std::uint8_t* request, std::size_t size, PyObject* data, const ops::PageReader& read) {
    bool ok = answers(request, size, modbus::AnswerRule::Identification, data);
    if (ok) {
        std::vector<std::uint8_t> answer(1 + static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        answer[0] = request[0];
        std::memcpy(answer.data() + 1, PyBytes_AS_STRING(data), answer.size() - 1);
        ok = read(answer.data(), answer.size());
    }
    if (!ok) raise_assertion(BREL_STR("Feedback for reading device identification invalid"), errors.frame);
}

void raise_no_progress(std::uint8_t next, std::uint8_t asked) {
    Ref message =
        own(PyUnicode_FromFormat("Feedback for reading device identification invalid: next object id %d does not "
                                 "follow %d",
                                 static_cast<int>(next), static_cast<int>(asked)));
    raise_assertion(message.get(), errors.frame);
}

// ---- ModbusTCPMaster's exchange: one request PDU through self.__query ------------------------

namespace {

// The words of the registers a read member returned: ints in 0..65535 (ValueError or
// TypeError, with the codec's texts, otherwise).
std::vector<std::uint16_t> words_of(PyObject* registers) {
    Ref items = own(PySequence_Tuple(registers));
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<std::uint16_t> words(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyTuple_GET_ITEM(items.get(), i);
        if (!PyLong_Check(v)) {
            PyErr_Format(PyExc_TypeError, "registers[%zd] must be an int, not %.200s", i, Py_TYPE(v)->tp_name);
            raise();
        }
        int overflow = 0;
        const long w = PyLong_AsLongAndOverflow(v, &overflow);
        if (w == -1 && PyErr_Occurred()) raise();
        if (overflow || w < 0 || w > 0xFFFF) {
            PyErr_Format(PyExc_ValueError, "registers[%zd] is outside 0..65535", i);
            raise();
        }
        words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(w);
    }
    return words;
}

// What an answer was for, in the texts of its AssertionError.
const char* fault_words(ops::Fault fault) {
    switch (fault) {
        case ops::Fault::ExceptionStatus:
            return "reading exception status";
        case ops::Fault::Diagnostics:
            return "diagnostics";
        case ops::Fault::CommEventCounter:
            return "reading the comm event counter";
        case ops::Fault::CommEventLog:
            return "reading the comm event log";
        case ops::Fault::ServerId:
            return "reporting the server id";
        case ops::Fault::ReadFileRecord:
            return "reading file records";
        case ops::Fault::WriteFileRecord:
            return "writing file records";
        case ops::Fault::FifoQueue:
            return "reading the FIFO queue";
        case ops::Fault::ReadBits:
            return "reading coils";
        default:
            return "the request";
    }
}

}  // namespace

// ---- ModbusTCPMaster's exchange (tcp_master_shared.hpp) ----------------------------------------

void TcpMasterExchange::confirm(ops::Pdu request, std::size_t answer_size, modbus::AnswerRule rule, ops::Fault fault) {
    Ref data = exchange(self_, request.data, request.size, answer_size - 1);
    if (!answers(request.data, request.size, rule, data.get()))
        raise_write_failed({self_}, write_prefix(fault), address_);
}

Ref TcpMasterExchange::registers(ops::Pdu request, std::size_t count, ops::Fault) {
    Ref data = exchange(self_, request.data, request.size, 1 + 2 * count);
    if (!answers(request.data, request.size, modbus::AnswerRule::RegisterBytes, data.get()))
        raise_assertion(BREL_STR("Feedback for reading registers invalid"));
    return registers_of(data.get());
}

void TcpMasterExchange::page(ops::Pdu request, const ops::PageReader& read) {
    Ref data = exchange(self_, request.data, request.size, Py_None);
    identification_answer(request.data, request.size, data.get(), read);
}

void TcpMasterExchange::no_progress(std::uint8_t next, std::uint8_t asked) { raise_no_progress(next, asked); }

// The length comes from the MBAP header; a fixed one is asked of __query (which says when
// the header declares another), any other is walked over the whole answer, which must end
// where the shape says.
std::vector<std::uint8_t> TcpMasterExchange::answer(ops::Pdu request, const ops::AnswerShape& shape,
                                                    const ops::AnswerCheck& check, ops::Fault fault) {
    Ref needed = needed_for(shape);
    Ref data = exchange(self_, request.data, request.size, needed.get());
    return shaped_answer(request, shape, check, fault, data.get());
}

std::vector<std::uint16_t> TcpMasterExchange::read_words(PyObject* address, std::size_t n, PyObject* func_code) {
    PyObject* reader = int_equals(func_code, modbus::kReadHoldingRegisters) ? BREL_STR("read_registers")
                                                                            : BREL_STR("read_input_registers");
    Ref count = own(PyLong_FromSize_t(n));
    Ref registers = call_method(self_, reader, address, count.get());
    return words_of(registers.get());
}

void TcpMasterExchange::write_list(PyObject* address, PyObject* registers) {
    call_method(self_, BREL_STR("write_registers"), address, registers);
}

// The command as the builder returned it, through self.__query as it is.
Ref TcpMasterExchange::carried(const ops::Carried& request) {
    Ref needed = own(PyLong_FromSize_t(request.needed));
    Ref feedback = query_of(self_, request.command, needed.get());
    return judge_carried({self_}, request, feedback.get());
}

// What __query is asked for an answer of `shape`: its fixed length after the function code,
// or None (the length comes from the MBAP header and is walked by shaped_answer).
Ref needed_for(const ops::AnswerShape& shape) {
    const bool fixed = shape.size.rule == modbus::SizeRule::Fixed && !shape.more;
    return fixed ? own(PyLong_FromSize_t(shape.size.fixed - 1)) : Ref::borrow(Py_None);
}

std::vector<std::uint8_t> shaped_answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                        ops::Fault fault, PyObject* data) {
    std::vector<std::uint8_t> pdu(1 + static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    pdu[0] = request.data[0];
    std::memcpy(pdu.data() + 1, PyBytes_AS_STRING(data), pdu.size() - 1);
    bool whole = true;
    if (shape.more || (shape.size.rule != modbus::SizeRule::Open && shape.size.rule != modbus::SizeRule::Nothing)) {
        std::size_t known = 1;
        while (const std::size_t more = known <= pdu.size() ? shape.more_after(pdu.data(), known) : 0) {
            known += more;
            if (known > pdu.size()) break;
        }
        whole = known == pdu.size();
    }
    if (!whole || !check(pdu.data(), pdu.size())) {
        Ref message = own(PyUnicode_FromFormat("Feedback for %s invalid", fault_words(fault)));
        raise_assertion(message.get());
    }
    return pdu;
}

// ---- codes 8, 17, 20, 21, 24 and raw requests: arguments, then the operation --------------------

// The faces of the codes whose answers have a shape of their own: the arguments checked in
// order, then the operation over `ex` (this master's, or the asyncio master's).
Ref diagnostics_on(ops::Exchange& ex, Args& a) {
    const auto sub_function = static_cast<std::uint16_t>(field_value(a[1], "sub_function", modbus::kMaxAddress));
    check_diagnostics_data(a[2]);
    return ops::diagnostics(ex, sub_function, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[2])),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(a[2])));
}

Ref report_server_id_on(ops::Exchange& ex, Args&) { return ops::report_server_id(ex); }

Ref read_file_record_on(ops::Exchange& ex, Args& a) {
    const std::vector<modbus::FileRecord> records = file_records(a[1], nullptr);
    return ops::read_file_record(ex, records);
}

Ref write_file_record_on(ops::Exchange& ex, Args& a) {
    std::vector<std::uint16_t> words;
    const std::vector<modbus::FileRecord> records = file_records(a[1], &words);
    ops::write_file_record(ex, records);
    return none();
}

Ref read_fifo_queue_on(ops::Exchange& ex, Args& a) {
    check_address(a[1]);
    return ops::read_fifo_queue(ex, low16(a[1]));
}

Ref execute_on(ops::Exchange& ex, Args& a) {
    const std::uint8_t code = check_raw_request(a[1], a[2], a[3], false);
    return ops::execute(ex, code, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(a[2])),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(a[2])), a[3]);
}

Ref diagnostics(Args& a) {
    TcpMasterExchange ex(a[0], a[1]);
    return diagnostics_on(ex, a);
}

Ref report_server_id(Args& a) {
    TcpMasterExchange ex(a[0], Py_None);
    return report_server_id_on(ex, a);
}

Ref read_file_record(Args& a) {
    TcpMasterExchange ex(a[0], Py_None);
    return read_file_record_on(ex, a);
}

Ref write_file_record(Args& a) {
    TcpMasterExchange ex(a[0], Py_None);
    return write_file_record_on(ex, a);
}

Ref read_fifo_queue(Args& a) {
    TcpMasterExchange ex(a[0], a[1]);
    return read_fifo_queue_on(ex, a);
}

Ref execute(Args& a) {
    TcpMasterExchange ex(a[0], Py_None);
    return execute_on(ex, a);
}

namespace {

// The function code the typed members read with: 3, self.read_registers.
PyObject* holding_code() {
    static PyObject* three = PyLong_FromLong(modbus::kReadHoldingRegisters);  // a small int, immortal or kept
    return three;
}

}  // namespace

// ---- the faces of the shared operations: arguments checked in order, then the operation ----------

Ref read_input_on(ops::Exchange& ex, PyObject* address, PyObject* count, bool bits) {
    check_address(address);
    const std::size_t n = limited_count(count, "count", bits ? modbus::kMaxReadBits : modbus::kMaxReadRegisters);
    const auto n16 = static_cast<std::uint16_t>(n);
    if (bits) return ops::read_bits(ex, modbus::kReadDiscreteInputs, low16(address), n16);
    return ops::read_registers(ex, modbus::kReadInputRegisters, low16(address), n16);
}

Ref write_single_register_on(ops::Exchange& ex, Args& a) {
    check_address(a[1]);
    ops::write_register(ex, low16(a[1]), low16(a[2]));
    return none();
}

Ref read_input_registers(Args& a) {
    TcpMasterExchange ex(a[0], a[1]);
    return read_input_on(ex, a[1], a[2], false);
}

Ref read_input_coils(Args& a) {
    TcpMasterExchange ex(a[0], a[1]);
    return read_input_on(ex, a[1], a[2], true);
}

Ref write_single_register(Args& a) {
    TcpMasterExchange ex(a[0], a[1]);
    return write_single_register_on(ex, a);
}

Ref write_coils(Args& a) {
    PyObject *self = a[0], *address = a[1];
    check_address(address);
    Ref states = items_of(a[2], "truth values");
    check_items(static_cast<std::size_t>(PyTuple_GET_SIZE(states.get())), modbus::kMaxWriteCoils);
    const std::vector<std::uint8_t> on = ops::truth_values(states.get());
    TcpMasterExchange ex(self, address);
    ops::write_coils(ex, low16(address), on);
    return none();
}

Ref mask_write_register(Args& a) {
    PyObject *self = a[0], *address = a[1], *and_mask = a[2], *or_mask = a[3];
    check_address(address);
    check_field(and_mask, "and_mask", modbus::kMaxAddress);
    check_field(or_mask, "or_mask", modbus::kMaxAddress);
    TcpMasterExchange ex(self, address);
    ops::mask_write_register(ex, low16(address), low16(and_mask), low16(or_mask));
    return none();
}

// The words of code 23's list of values: 1 to 121 ints, each sent as its low 16 bits.
std::vector<std::uint16_t> written_words(PyObject* values) {
    const Py_ssize_t m = PyList_GET_SIZE(values);
    check_items(static_cast<std::size_t>(m), modbus::kMaxReadWriteWrite);
    std::vector<std::uint16_t> words(static_cast<std::size_t>(m));
    // low16 runs no interpreter code on an int, so the list cannot change under the loop.
    for (Py_ssize_t i = 0; i < m; ++i) {
        PyObject* v = PyList_GET_ITEM(values, i);
        if (!PyLong_Check(v)) {
            PyErr_Format(PyExc_TypeError, "values[%zd] must be an int, not %.200s", i, Py_TYPE(v)->tp_name);
            raise();
        }
        words[static_cast<std::size_t>(i)] = low16(v);
    }
    return words;
}

Ref read_write_registers(Args& a) {
    PyObject *self = a[0], *read_address = a[1], *read_count = a[2], *write_address = a[3], *values = a[4];
    check_address(read_address);
    const std::size_t n = limited_count(read_count, "read_count", modbus::kMaxReadWriteRead);
    check_address(write_address);
    const std::vector<std::uint16_t> words = written_words(values);
    TcpMasterExchange ex(self, read_address);
    return ops::read_write_registers(ex, low16(read_address), static_cast<std::uint16_t>(n), low16(write_address),
                                     words.data(), words.size());
}

Ref read_device_identification(Args& a) {
    PyObject *self = a[0], *read_code = a[1], *object_id = a[2];
    const std::uint8_t code = identification_read_code(read_code);
    check_field(object_id, "object_id", 0xFF);
    TcpMasterExchange ex(self, object_id);
    return ops::read_device_identification(ex, code, static_cast<std::uint8_t>(low16(object_id)));
}

// ---- typed values ---------------------------------------------------------------------------

inline constexpr std::size_t kMaxValueWriteRegisters = modbus::kMaxWriteRegisters;

// The 32-bit members' endian: ">" puts the high word first, any other text the low word.
PyObject* order_of(PyObject* endian) {
    return PyUnicode_CompareWithASCIIString(endian, ">") == 0 ? BREL_STR("ABCD") : BREL_STR("CDAB");
}

// n values of one code as a format: "2i".
ValueLayout layout_of(std::size_t n, char code, PyObject* order) {
    Ref format = own(PyUnicode_FromFormat("%zu%c", n, code));
    return value_layout(format.get(), order);
}

char code_of(const Args& a) { return *static_cast<const char*>(a.data); }

// ---- the typed faces: arguments checked in order, then the layout run by the master --------------

Ref read_int16_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    return run.read(a[1], layout_of(1, 'h', BREL_STR("ABCD")), holding_code(), true);
}

// read_uint32, read_int32, read_float: (self, address, endian).
Ref read_32_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    return run.read(a[1], layout_of(1, code_of(a), order_of(a[2])), holding_code(), true);
}

// read_multi_*: (self, address, count, endian).
Ref read_multi_32_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    const std::size_t n = limited_count(a[2], "count", modbus::kMaxReadRegisters / 2);
    return run.read(a[1], layout_of(n, code_of(a), order_of(a[3])), holding_code(), false);
}

// write_int32, write_uint32, write_float: (self, address, value, endian).
Ref write_32_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    const ValueLayout layout = layout_of(1, code_of(a), order_of(a[3]));
    Ref values = own(PyTuple_Pack(1, a[2]));
    return run.write(a[1], layout, values.get());
}

// write_multi_*: (self, address, values, endian).
Ref write_multi_32_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    Ref values = items_of(a[2], "numbers");
    const Py_ssize_t n = PyTuple_GET_SIZE(values.get());
    check_items(static_cast<std::size_t>(n), kMaxValueWriteRegisters / 2);
    return run.write(a[1], layout_of(static_cast<std::size_t>(n), code_of(a), order_of(a[3])), values.get());
}

// read_values: (self, address, format, order, func_code).
Ref read_values_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    const ValueLayout layout = value_layout(a[2], a[3]);
    check_registers(layout.registers(), modbus::kMaxReadRegisters, "read");
    check_register_read_code(a[4]);
    return run.read(a[1], layout, a[4], false);
}

// write_values: (self, address, format, values, order).
Ref write_values_on(ValueRunner& run, Args& a) {
    check_address(a[1]);
    const ValueLayout layout = value_layout(a[2], a[4]);
    check_registers(layout.registers(), kMaxValueWriteRegisters, "written");
    return run.write(a[1], layout, a[3]);
}

namespace {

// ModbusTCPMaster's: the layout's registers through self.read_registers (or
// self.read_input_registers), decoded; the values encoded, through self.write_registers.
class MasterValues final : public ValueRunner {
public:
    explicit MasterValues(PyObject* self) : self_(self) {}
    Ref read(PyObject* address, const ValueLayout& layout, PyObject* func_code, bool first) override {
        TcpMasterExchange ex(self_, address);
        Ref values = ops::read_values(ex, address, layout, func_code);
        return first ? item(values.get(), 0) : values;
    }
    Ref write(PyObject* address, const ValueLayout& layout, PyObject* values) override {
        TcpMasterExchange ex(self_, address);
        ops::write_values(ex, address, layout, values);
        return none();
    }

private:
    PyObject* self_;
};

template <Ref (*Face)(ValueRunner&, Args&)>
Ref on_master_values(Args& a) {
    MasterValues run(a[0]);
    return Face(run, a);
}

}  // namespace

Ref read_int16(Args& a) { return on_master_values<read_int16_on>(a); }
Ref read_32(Args& a) { return on_master_values<read_32_on>(a); }
Ref read_multi_32(Args& a) { return on_master_values<read_multi_32_on>(a); }
Ref write_32(Args& a) { return on_master_values<write_32_on>(a); }
Ref write_multi_32(Args& a) { return on_master_values<write_multi_32_on>(a); }
Ref read_values(Args& a) { return on_master_values<read_values_on>(a); }
Ref write_values(Args& a) { return on_master_values<write_values_on>(a); }

// A typed member: address, the `middle` parameters, then endian; `code` is the value's
// format code, handed to the body as Args::data.
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code, const char* returns) {
    std::vector<ParamSpec> params{{"address", "int"}};
    params.insert(params.end(), middle.begin(), middle.end());
    params.push_back({"endian", "str", str_default(">")});
    return with_data(method(key, impl, std::move(params), returns), code);
}

}  // namespace brel::tcp
