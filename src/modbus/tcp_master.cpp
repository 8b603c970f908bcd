// ModbusTCPMaster: one TCP connection, MBAP framing, the query transaction and the
// coil and register operations on top of it.
//
// The stream is handled soundly: a request is sent in full even when the socket takes
// it in pieces, an answer is received until its header and then its declared remainder
// have arrived (a closed connection is a receive time-out, a short answer is never
// decoded), and input left over from an earlier transaction is dropped before every
// request, on both roads, so that a late answer or stray bytes cannot desynchronise the
// connection. An answer that comes while the master waits for the next one and carries
// the identifiers of one of the master's recent requests (a late answer to a request that
// timed out, a slave's duplicate of an answer already taken) is read whole and dropped.
#include "modbus/adu.hpp"
#include "modbus/classes.hpp"
#include "modbus/frames.hpp"
#include "modbus/protocol.hpp"
#include "modbus/tcp_exchange.hpp"
#include "modbus/tcp_socket_streams.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

namespace brel {
namespace {

// ---- names -----------------------------------------------------------------------------

PyObject* k_socket() { return BREL_STR("_ModbusTCPMaster__socket"); }
PyObject* k_station() { return BREL_STR("_ModbusTCPMaster__station"); }
PyObject* k_head_checker() { return BREL_STR("_ModbusTCPMaster__head_checker"); }
PyObject* k_protocol() { return BREL_STR("_ModbusTCPMaster__protocol"); }
PyObject* k_last_sent() { return BREL_STR("_ModbusTCPMaster__last_command_sent"); }
PyObject* k_last_received() { return BREL_STR("_ModbusTCPMaster__last_feedback_received"); }
PyObject* k_target_host() { return BREL_STR("_ModbusTCPMaster__target_host"); }
PyObject* k_query() { return BREL_STR("_ModbusTCPMaster__query"); }
PyObject* k_class() { return BREL_STR("ModbusTCPMaster"); }

// ---- helpers ---------------------------------------------------------------------------

Ref none() { return Ref::borrow(Py_None); }
Ref empty_bytes() { return own(PyBytes_FromStringAndSize(nullptr, 0)); }
Ref make_int(long long v) { return own(PyLong_FromLongLong(v)); }

// The low 16 bits of an exact int, as (v >> 8) & 0xFF and v & 0xFF give them on the
// interpreter's unbounded integers (two's complement for negative values).
std::uint16_t low16(PyObject* v) {
    if (long long x; PyLong_CheckExact(v) && compact_int(v, x)) return static_cast<std::uint16_t>(x);
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (!overflow) {
        if (x == -1 && PyErr_Occurred()) raise();
        return static_cast<std::uint16_t>(x);
    }
    Ref mask = make_int(0xFFFF);
    Ref low = own(PyNumber_And(v, mask.get()));
    return static_cast<std::uint16_t>(PyLong_AsLong(low.get()));
}

// An exact int equal to v; false when it does not even fit.
bool int_equals(PyObject* exact_int, long long v) {
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
    if (!overflow && x == -1 && PyErr_Occurred()) raise();
    return !overflow && x == v;
}

// value + 1, as the interpreter adds.
Ref successor(PyObject* value) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow && v < LLONG_MAX && !(v == -1 && PyErr_Occurred())) return make_int(v + 1);
        PyErr_Clear();
    }
    Ref one = make_int(1);
    return own(PyNumber_Add(value, one.get()));
}

bool equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

// prefix + str(self.__target_host) + suffix.
Ref host_message(PyObject* self, PyObject* prefix, PyObject* suffix = nullptr) {
    Ref host = getattr(self, k_target_host());
    Ref text = own(PyObject_Str(host.get()));
    Ref message = own(PyUnicode_Concat(prefix, text.get()));
    if (suffix) message = own(PyUnicode_Concat(message.get(), suffix));
    return message;
}

[[noreturn]] void raise_object(PyObject* type, PyObject* message) {
    PyErr_SetObject(type, message);
    raise();
}

[[noreturn]] void raise_io(PyObject* self, PyObject* prefix) {
    Ref message = host_message(self, prefix);
    raise_object(builtins.IOError, message.get());
}

[[noreturn]] void raise_assertion(PyObject* message) { raise_object(builtins.AssertionError, message); }

void check_address(PyObject* v) { check_field(v, "address", modbus::kMaxAddress); }
void check_count_field(PyObject* v) { check_field(v, "count", modbus::kMaxAddress); }
void check_station(PyObject* v) { check_field(v, "station", 0xFF); }

// ModbusTCPMaster.<name> looked up in the module namespace now.
Ref class_member(PyObject* name) {
    Ref cls = global(k_class());
    return getattr(cls.get(), name);
}

// ---- the fast paths' guard ----------------------------------------------------------------
//
// The operations call self.__query and the builders of ModbusTCPMaster (looked up in the
// module namespace), and the transaction reads the properties protocol and station, all
// through the interpreter so that subclasses, replaced members and instance attributes
// apply. When self is exactly the library's class, the module's name ModbusTCPMaster still
// refers to it and its class dict still holds the library's own members, the result of
// those look-ups is known beforehand: then the C++ is called directly.

PyTypeObject* library_tcp_type = nullptr;  // owned; lives for the process

Ref query(Args& a);
Ref get_station(Args& a);
Ref get_protocol(Args& a);
Ref construct_header(Args& a);
Ref construct_whole_query_command(Args& a);
Ref construct_read_registers_command(Args& a);
Ref construct_read_coils_command(Args& a);
Ref construct_write_registers_command(Args& a);
Ref construct_write_coil_command(Args& a);

// The class dict's entry `name` (borrowed), nullptr when there is none.
PyObject* class_entry(PyObject* dict, PyObject* name) {
    PyObject* entry = PyDict_GetItemWithError(dict, name);
    if (!entry && PyErr_Occurred()) raise();
    return entry;
}

// A property of the interpreter's own type whose getter is the library's `getter`.
bool own_property(PyObject* dict, PyObject* name, Impl getter) {
    PyObject* entry = class_entry(dict, name);
    if (!entry || !Py_IS_TYPE(entry, &PyProperty_Type)) return false;
    Ref fget = getattr(entry, BREL_STR("fget"));
    return is_function_with(fget.get(), getter);
}

// A static method of the interpreter's own type around the library's `impl`.
bool own_static(PyObject* dict, const char* name, Impl impl) {
    Ref key = own(PyUnicode_InternFromString(name));
    PyObject* entry = class_entry(dict, key.get());
    if (!entry || !Py_IS_TYPE(entry, &PyStaticMethod_Type)) return false;
    Ref function = getattr(entry, BREL_STR("__func__"));
    return is_function_with(function.get(), impl);
}

// The instance's state, which the plain road reads and writes straight in the instance
// dict: a data descriptor of the class under one of these names would come first.
bool state_names_free(PyObject* dict) {
    for (PyObject* name :
         {k_socket(), k_station(), k_head_checker(), k_protocol(), k_last_sent(), k_last_received(), k_target_host()}) {
        PyObject* entry = class_entry(dict, name);
        if (entry && Py_TYPE(entry)->tp_descr_set) return false;
    }
    return true;
}

// The class dict's entries the fast paths stand on, checked as they are now: __query, the
// properties protocol and station, the builders, and no data descriptor over the
// instance's state. Each is the library's own function object, or the interpreter's
// staticmethod or property around one, whose look-up gives the same at every use: so the
// verdict may be remembered against the class's version tag.
bool own_members(PyTypeObject* type) {
    PyObject* dict = type->tp_dict;
    if (!dict || !state_names_free(dict)) return false;
    PyObject* entry = class_entry(dict, k_query());
    return entry && is_function_with(entry, locked<query>) && own_property(dict, BREL_STR("protocol"), get_protocol) &&
           own_property(dict, BREL_STR("station"), get_station) &&
           own_static(dict, "construct_header", construct_header) &&
           own_static(dict, "construct_whole_query_command", construct_whole_query_command) &&
           own_static(dict, "construct_read_registers_command", construct_read_registers_command) &&
           own_static(dict, "construct_read_coils_command", construct_read_coils_command) &&
           own_static(dict, "construct_write_registers_command", construct_write_registers_command) &&
           own_static(dict, "construct_write_coil_command", construct_write_coil_command);
}

// True when `self` is exactly the library's ModbusTCPMaster with its own members, and the
// module's name ModbusTCPMaster refers to that class. The class dict is checked again only
// when the type's version tag has changed since the last check (any change to the class
// dict gives the type a new tag), or on every call while the type has no valid tag.
// (Comparing the class dict's entries on every call instead costs ~130 more instructions
// per read_registers call.)
bool plain_master(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type != library_tcp_type || type->tp_getattro != PyObject_GenericGetAttr) return false;
    // The module's name, looked up again only after the namespace changed (3.12 on; on every
    // call before).
    static NamespaceVerdict named_ours;
    if (!named_ours.holds([&] {
            PyObject* named = module_namespace ? PyDict_GetItemWithError(module_namespace, k_class()) : nullptr;
            if (!named && PyErr_Occurred()) raise();
            return named == reinterpret_cast<PyObject*>(type);
        }))
        return false;
    static unsigned int checked_tag = 0;  // 0: no tag checked
    const bool tagged = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
    if (tagged && checked_tag != 0 && type->tp_version_tag == checked_tag) return true;
    if (!own_members(type)) return false;
    checked_tag = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
    return true;
}

// self.__query(command, needed): the C++ transaction directly when the interpreter would
// call the library's own member (self exactly the library's class, the member neither
// replaced in the class nor shadowed by an instance attribute) and the arguments pass its
// entry rules as they stand (bytes; int or None); else through the interpreter, with its
// argument checks and errors. The instance's attribute is looked up the way the
// interpreter looks up a method (_PyObject_GetMethod: no bound method is made, and the
// instance's attribute storage is read as it is, never turned into a dict).
Ref query_of(PyObject* self, PyObject* command, PyObject* needed) {
    if (PyBytes_CheckExact(command) && (needed == Py_None || PyLong_CheckExact(needed)) && plain_master(self)) {
        auto direct = [&] {
            Args a;
            a.v[0] = self;
            a.v[1] = command;
            a.v[2] = needed;
            return locked<query>(a);
        };
#if PY_VERSION_HEX < 0x030D0000
        PyObject* found = nullptr;
        const int unbound = _PyObject_GetMethod(self, k_query(), &found);
        Ref method = own(found);
        if (unbound && is_function_with(method.get(), locked<query>)) return direct();
        if (unbound) return call(method.get(), self, command, needed);
#else
        // The method look-up of the interpreter is internal from 3.13 on: the bound method.
        Ref method = getattr(self, k_query());
        if (PyMethod_Check(method.get()) && PyMethod_GET_SELF(method.get()) == self &&
            is_function_with(PyMethod_GET_FUNCTION(method.get()), locked<query>))
            return direct();
#endif
        return call(method.get(), command, needed);
    }
    return call_method(self, k_query(), command, needed);
}

// ---- construction, properties, context manager ------------------------------------------

PyObject* timeout_keyword() {
    static PyObject* const names = [] {
        PyObject* t = PyTuple_Pack(1, BREL_STR("timeout"));
        if (!t) raise();
        return t;
    }();
    return names;
}

Ref init(Args& a) {
    PyObject *self = a[0], *host = a[1], *port = a[2], *timeout = a[3], *station = a[4];
    check_station(station);
    Ref connect = global(BREL_STR("_tcp_connect"));
    Ref address = own(PyTuple_Pack(2, host, port));
    PyObject* stack[] = {nullptr, address.get(), timeout};
    Ref sock =
        own(PyObject_Vectorcall(connect.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, timeout_keyword()));
    setattr(self, k_socket(), sock.get());
    setattr(self, k_station(), station);
    setattr(self, k_head_checker(), make_int(1).get());
    setattr(self, k_protocol(), make_int(0).get());
    Ref empty = empty_bytes();
    setattr(self, k_last_sent(), empty.get());
    setattr(self, k_last_received(), empty.get());
    Ref target = own(PyTuple_Pack(2, host, port));
    setattr(self, k_target_host(), target.get());
    return none();
}

Ref get_socket(Args& a) { return getattr(a[0], k_socket()); }

Ref close_socket(Args& a) {
    if (MasterSettings* settings = settings_of(a[0])) settings->closed = true;  // never reopened
    Ref sock = getattr(a[0], k_socket());
    call_method(sock.get(), BREL_STR("close"));
    return none();
}

Ref get_timeout(Args& a) {
    Ref sock = getattr(a[0], k_socket());
    return getattr(sock.get(), BREL_STR("timeout"));
}

Ref get_station(Args& a) { return getattr(a[0], k_station()); }

Ref set_station(Args& a) {
    check_station(a[1]);
    setattr(a[0], k_station(), a[1]);
    return none();
}

Ref get_last_sent(Args& a) { return getattr(a[0], k_last_sent()); }
Ref get_last_received(Args& a) { return getattr(a[0], k_last_received()); }

Ref get_protocol(Args& a) { return getattr(a[0], k_protocol()); }

// ---- the instance's attributes --------------------------------------------------------------
//
// The transaction's state, read and written as the interpreter would through the instance:
// on the plain road (the library's own class, which defines none of these names, so no
// descriptor can intercept them) straight in the instance dict, else through the attribute
// protocol. A name missing from the dict is read through the attribute protocol too, for
// its error.
class Attributes {
public:
    Attributes(PyObject* self, bool plain) : self_(self) {
        if (!plain) return;
        dict_ = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
        if (!dict_) PyErr_Clear();
    }
    Ref get(PyObject* name) const {
        if (dict_) {
            if (PyObject* value = PyDict_GetItemWithError(dict_.get(), name)) return Ref::borrow(value);
            if (PyErr_Occurred()) raise();
        }
        return getattr(self_, name);
    }
    void set(PyObject* name, PyObject* value) const {
        if (dict_) {
            check(PyDict_SetItem(dict_.get(), name, value));
            return;
        }
        setattr(self_, name, value);
    }

private:
    PyObject* self_;
    Ref dict_;
};

// ---- MBAP framing -------------------------------------------------------------------------

// Header and command in one buffer; `command` is exactly bytes, the three fields exact ints.
Ref build_frame(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station, bool with_command) {
    const Py_ssize_t n = PyBytes_GET_SIZE(command);
    const std::uint16_t transaction = low16(head_checker);
    const std::uint16_t proto = low16(protocol);
    const std::uint8_t unit = static_cast<std::uint8_t>(low16(station));
    Ref out = new_bytes(static_cast<Py_ssize_t>(modbus::kMbapSize) + (with_command ? n : 0));
    auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
    modbus::mbap_header(p, transaction, proto, static_cast<std::uint16_t>(n + 1), unit);
    if (with_command && n) std::memcpy(p + modbus::kMbapSize, PyBytes_AS_STRING(command), static_cast<std::size_t>(n));
    return out;
}

Ref construct_header(Args& a) { return build_frame(a[0], a[1], a[2], a[3], false); }

// The header from ModbusTCPMaster.construct_header, then the command.
Ref whole_query(PyObject* command, PyObject* head_checker, PyObject* protocol, PyObject* station) {
    Ref header_builder = class_member(BREL_STR("construct_header"));
    if (is_function_with(header_builder.get(), construct_header))
        return build_frame(command, head_checker, protocol, station, true);
    Ref header = call(header_builder.get(), command, head_checker, protocol, station);
    return own(PyNumber_Add(header.get(), command));
}

Ref construct_whole_query_command(Args& a) { return whole_query(a[0], a[1], a[2], a[3]); }

using modbus::AnswerBuffer;

const char* chars(const std::uint8_t* p) { return reinterpret_cast<const char*>(p); }

// The answer's identifiers against the request's: bytes 0 to 3 and byte 6.
bool same_ids(const std::uint8_t* head, PyObject* request) {
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 7)
        return modbus::mbap_same_ids(head, reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(request)));
    // A request built by a replaced builder: compare as the interpreter would.
    Ref answer_ids = own(PyBytes_FromStringAndSize(chars(head), 4));
    Ref request_ids = own(PySequence_GetSlice(request, 0, 4));
    if (!equal(answer_ids.get(), request_ids.get())) return false;
    Ref answer_unit = make_int(head[6]);
    Ref request_unit = item(request, 6);
    return equal(answer_unit.get(), request_unit.get());
}

// fc_code == request[7].
bool same_code(std::uint8_t code, PyObject* request) {
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 8)
        return static_cast<std::uint8_t>(PyBytes_AS_STRING(request)[7]) == code;
    Ref request_code = item(request, 7);
    Ref answer_code = make_int(code);
    return equal(answer_code.get(), request_code.get());
}

// fc_code == request[7] | 0x80: an exception answer to the request.
bool is_exception_to(std::uint8_t code, PyObject* request) {
    if (code < 0x80) return false;
    if (PyBytes_CheckExact(request) && PyBytes_GET_SIZE(request) >= 8)
        return (static_cast<std::uint8_t>(PyBytes_AS_STRING(request)[7]) | 0x80) == code;
    Ref request_code = item(request, 7);
    if (!PyLong_Check(request_code.get())) return false;
    const long c = PyLong_AsLong(request_code.get());
    if (c == -1 && PyErr_Occurred()) raise();
    return c >= 0 && c < 0x80 && (c | 0x80) == code;
}

// Sets the exception a stream's status stands for: TimeoutError "timed out", ConnectionError
// naming the peer, OSError from errno, or the one the stream left set.
void set_stream_error(PyObject* self, const StreamStatus& status) {
    switch (status.end) {
        case StreamEnd::TimedOut:
            PyErr_SetString(PyExc_TimeoutError, "timed out");
            return;
        case StreamEnd::Closed: {
            Ref message = host_message(self, BREL_STR("Connection closed by "));
            PyErr_SetObject(PyExc_ConnectionError, message.get());
            return;
        }
        case StreamEnd::Failed:
            errno = status.error;
            PyErr_SetFromErrno(PyExc_OSError);
            return;
        default:
            return;
    }
}

[[noreturn]] void raise_stream(PyObject* self, const StreamStatus& status) {
    set_stream_error(self, status);
    raise();
}

// The comparisons with a request that is not bytes of a whole frame (a replaced builder's),
// made as the interpreter makes them.
class ObjectRequest final : public modbus::RequestJudge {
public:
    explicit ObjectRequest(PyObject* request) : request_(request) {}
    bool same_ids(const std::uint8_t* head) const override { return brel::same_ids(head, request_); }
    bool same_code(std::uint8_t code) const override { return brel::same_code(code, request_); }
    bool refused_by(std::uint8_t code) const override { return is_exception_to(code, request_); }

private:
    PyObject* request_;
};

// The master's recent requests, kept in its native state.
struct TcpNative final : Attachment {
    modbus::RecentRequests recent;
};

// The length of data an operation asks __query for, for the exchange: none for None, and
// one that never matches for an int beyond 64 bits.
std::optional<long long> needed_length(PyObject* length_needed) {
    if (length_needed == Py_None) return std::nullopt;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(length_needed, &overflow);
    if (overflow) return LLONG_MAX;
    if (n == -1 && PyErr_Occurred()) raise();
    return n;
}

Ref query_once(PyObject* self, PyObject* command, PyObject* length_needed);

// A new connection to the same peer, with the time-out of the old one, in place of a
// connection that was found closed or broken.
void reopen(PyObject* self) {
    Ref old = getattr(self, k_socket());
    Ref timeout = getattr(old.get(), BREL_STR("timeout"));
    if (Ref closer = Ref::steal_or_null(PyObject_GetAttr(old.get(), BREL_STR("close")))) {
        if (!Ref::steal_or_null(PyObject_CallNoArgs(closer.get()))) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    Ref connect = global(BREL_STR("_tcp_connect"));
    Ref address = getattr(self, k_target_host());
    PyObject* stack[] = {nullptr, address.get(), timeout.get()};
    Ref sock =
        own(PyObject_Vectorcall(connect.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, timeout_keyword()));
    setattr(self, k_socket(), sock.get());
}

Ref query(Args& a) {
    PyObject *self = a[0], *command = a[1], *length_needed = a[2];
    MasterSettings* settings = settings_of(self);
    if (settings && settings->broken && settings->reconnect && !settings->closed) {
        reopen(self);
        settings->broken = false;
    }
    try {
        return query_once(self, command, length_needed);
    } catch (const PyError&) {
        // A connection found closed or broken is replaced before the next request (not
        // this one: a request is never sent again by the reconnection itself).
        if (settings && PyErr_ExceptionMatches(PyExc_ConnectionError)) settings->broken = true;
        throw;
    }
}

// self.<property> (protocol, station). When plain_master() has found the property to be the
// library's own, the attribute behind it is read here as its getter reads it; a value the
// getter's return check would refuse goes through the property, for its error.
Ref property_value(PyObject* self, const Attributes& attributes, bool plain, PyObject* property_name,
                   PyObject* attribute) {
    if (plain) {
        Ref value = attributes.get(attribute);
        if (PyLong_CheckExact(value.get()) || value.get() == Py_None) return value;
    }
    return getattr(self, property_name);
}

Ref query_once(PyObject* self, PyObject* command, PyObject* length_needed) {
    const bool plain = plain_master(self);
    Ref builder = plain ? Ref() : class_member(BREL_STR("construct_whole_query_command"));
    const Attributes attributes(self, plain);
    Ref head_checker = attributes.get(k_head_checker());
    Ref protocol = property_value(self, attributes, plain, BREL_STR("protocol"), k_protocol());
    Ref station = property_value(self, attributes, plain, BREL_STR("station"), k_station());
    const bool ours = plain || is_function_with(builder.get(), construct_whole_query_command);
    Ref query_cmd;
    if (ours && PyLong_CheckExact(head_checker.get()) && PyLong_CheckExact(protocol.get()) &&
        PyLong_CheckExact(station.get())) {
        query_cmd = plain ? build_frame(command, head_checker.get(), protocol.get(), station.get(), true)
                          : whole_query(command, head_checker.get(), protocol.get(), station.get());
    } else {
        if (!builder) builder = class_member(BREL_STR("construct_whole_query_command"));
        query_cmd = call(builder.get(), command, head_checker.get(), protocol.get(), station.get());
    }

    Ref next = successor(head_checker.get());
    attributes.set(k_head_checker(), next.get());
    attributes.set(k_last_sent(), query_cmd.get());

    Ref sock = attributes.get(k_socket());
    Ref empty = empty_bytes();
    const bool bytes = PyBytes_CheckExact(query_cmd.get());
    const ObjectRequest judge(query_cmd.get());
    std::optional<modbus::RecentRequests> unkept;  // a master without native state keeps none
    modbus::RecentRequests* recent = nullptr;
    if (TcpNative* native = attached<TcpNative>(self)) recent = &native->recent;
    if (!recent) recent = &unkept.emplace();
    modbus::TcpExchange exchange(*recent);
    exchange.begin(bytes ? reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(query_cmd.get())) : nullptr,
                   bytes ? static_cast<std::size_t>(PyBytes_GET_SIZE(query_cmd.get())) : 0, &judge,
                   needed_length(length_needed));
    AnswerBuffer& answer = exchange.buffer();
    // The stream: the descriptor itself for exactly socket.socket, else the socket object.
    SocketObjectStream general(sock.get());
#if !defined(_WIN32)
    DescriptorStream direct;
    TcpStream& stream = bytes && direct.open(sock.get()) ? static_cast<TcpStream&>(direct) : general;
#else
    TcpStream& stream = general;
#endif
    note_send(false);
    Outgoing outgoing{nullptr, 0, query_cmd.get()};
    if (bytes) {
        outgoing.bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(query_cmd.get()));
        outgoing.size = static_cast<std::size_t>(PyBytes_GET_SIZE(query_cmd.get()));
    }
    if (const StreamStatus sent = stream.send(outgoing); sent.end != StreamEnd::Ok) raise_stream(self, sent);
    if (stream.request_out()) attributes.set(k_last_received(), empty.get());  // nothing came for it yet
    // The record shows what came for this request: each piece as it arrives, all that came
    // on a failure (nothing of an answer being skipped), and at the end the answer itself.
    std::size_t recorded = SIZE_MAX;
    auto record = [&](std::size_t n) {
        Ref shown = own(PyBytes_FromStringAndSize(chars(answer.data()), static_cast<Py_ssize_t>(n)));
        attributes.set(k_last_received(), shown.get());
        recorded = n;
    };
    modbus::TcpStep step;
    try {
        while ((step = exchange.step()) == modbus::TcpStep::Want || step == modbus::TcpStep::Skipped) {
            if (step == modbus::TcpStep::Skipped) {
                record(answer.size());
                continue;
            }
            const StreamStatus got = stream.receive(answer, exchange.wanted(), exchange.room());
            if (got.end != StreamEnd::Ok) {
                if (stream.request_out()) {
                    // All that came shows in the record (nothing of an answer being skipped).
                    PyObject* pending = PyErr_GetRaisedException();
                    try {
                        record(exchange.skipping() ? 0 : answer.size());
                    } catch (const PyError&) {
                        PyErr_Clear();
                    }
                    PyErr_SetRaisedException(pending);
                }
                raise_stream(self, got);
            }
            record(answer.size());
        }
    } catch (...) {
        // Its answer may still come: know it when it does.
        if (stream.request_out()) exchange.settle();
        throw;
    }
    exchange.settle();
    if (recorded != exchange.extent()) record(exchange.extent());

    switch (step) {
        case modbus::TcpStep::Done:
            if (!exchange.data_size()) return empty;
            return own(
                PyBytes_FromStringAndSize(chars(exchange.data()), static_cast<Py_ssize_t>(exchange.data_size())));
        case modbus::TcpStep::Refused: {
            // The slave refused: say what it said, as a SlaveException that existing
            // `except AssertionError` handlers still catch.
            Ref exception_class = global(BREL_STR("TCPSlaveException"));
            Ref unit = make_int(exchange.unit());
            Ref code = make_int(exchange.code());
            Ref error = make_int(exchange.refusal());
            Ref exception = call(exception_class.get(), unit.get(), code.get(), error.get());
            raise_object(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
        }
        case modbus::TcpStep::IdsMismatch:
            raise_io(self, BREL_STR("Received data header invalid from "));
        case modbus::TcpStep::LengthMismatch:
            raise_assertion(BREL_STR("Data length not match with needed"));
        default: {
            Ref message =
                own(PyUnicode_FromFormat("ModbusTCP error code: 0x%x", static_cast<unsigned>(exchange.code())));
            raise_assertion(message.get());
        }
    }
}

// ---- PDUs ---------------------------------------------------------------------------------

Ref two_field_pdu(std::uint8_t code, PyObject* address, PyObject* count) {
    Ref out = new_bytes(modbus::kTcpReadPduSize);
    modbus::tcp_two_fields(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), code, low16(address),
                           low16(count));
    return out;
}

Ref construct_read_registers_command(Args& a) { return two_field_pdu(3, a[0], a[1]); }
Ref construct_read_coils_command(Args& a) { return two_field_pdu(1, a[0], a[1]); }

Ref write_registers_pdu(PyObject* address, PyObject* values) {
    const Py_ssize_t n = PyList_GET_SIZE(values);
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) plain = PyLong_CheckExact(PyList_GET_ITEM(values, i));
    if (plain) {
        if (n > static_cast<Py_ssize_t>(modbus::kTcpMaxWriteRegisters))
            raise(PyExc_ValueError, "bytes must be in range(0, 256)");
        Ref out = new_bytes(6 + 2 * n);
        auto* p = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
        modbus::tcp_write_registers_head(p, 0x10, low16(address), static_cast<std::size_t>(n));
        // low16 runs no interpreter code, so the list cannot change under the loop.
        for (Py_ssize_t i = 0; i < n; ++i) modbus::put16(p + 6 + 2 * i, low16(PyList_GET_ITEM(values, i)));
        return out;
    }
    // Elements of other types: (v >> 8) & 0xFF and v & 0xFF as the interpreter computes
    // them, then the bytes constructor, with their errors.
    const std::uint16_t addr = low16(address);
    Ref items = own(PyList_New(0));
    const long head[] = {0x10,
                         addr >> 8,
                         addr & 0xFF,
                         static_cast<long>((n >> 8) & 0xFF),
                         static_cast<long>(n & 0xFF),
                         static_cast<long>(2 * n)};
    for (long v : head) check(PyList_Append(items.get(), make_int(v).get()));
    Ref eight = make_int(8);
    Ref mask = make_int(0xFF);
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(values); ++i) {
        Ref value = Ref::borrow(PyList_GET_ITEM(values, i));
        Ref shifted = own(PyNumber_Rshift(value.get(), eight.get()));
        Ref high = own(PyNumber_And(shifted.get(), mask.get()));
        check(PyList_Append(items.get(), high.get()));
        Ref low = own(PyNumber_And(value.get(), mask.get()));
        check(PyList_Append(items.get(), low.get()));
    }
    return own(PyBytes_FromObject(items.get()));
}

Ref construct_write_registers_command(Args& a) { return write_registers_pdu(a[0], a[1]); }

Ref write_coil_pdu(PyObject* address, PyObject* value) {
    const std::uint16_t addr = low16(address);
    const bool on = check(PyObject_IsTrue(value)) != 0;
    Ref out = new_bytes(modbus::kTcpCoilPduSize);
    modbus::tcp_write_coil(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get())), 0x05, addr, on);
    return out;
}

Ref construct_write_coil_command(Args& a) { return write_coil_pdu(a[0], a[1]); }

// ModbusTCPMaster.<name>(first, second) looked up now; our own builder runs in C++ (the
// operation's entry rules for these arguments are the builder's own).
template <class Build>
Ref command_from(PyObject* self, PyObject* name, Impl ours, Build build, PyObject* first, PyObject* second) {
    if (plain_master(self)) return build(first, second);
    Ref builder = class_member(name);
    if (is_function_with(builder.get(), ours)) return build(first, second);
    return call(builder.get(), first, second);
}

// ---- operations -----------------------------------------------------------------------------

// feedback[0] == value, as the interpreter compares (IndexError on an empty answer).
bool first_byte_is(PyObject* feedback, long value) {
    if (PyBytes_CheckExact(feedback) && PyBytes_GET_SIZE(feedback) > 0)
        return static_cast<std::uint8_t>(PyBytes_AS_STRING(feedback)[0]) == value;
    Ref first = item(feedback, 0);
    Ref expected = make_int(value);
    return equal(first.get(), expected.get());
}

// ceil(count / 8) with the interpreter's floor division and modulo.
Ref coil_byte_count(PyObject* count) {
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (!overflow && c > LLONG_MIN / 2 && c < LLONG_MAX / 2) {
        long long q = c / 8, r = c % 8;
        if (r < 0) {
            q -= 1;
            r += 8;
        }
        return make_int(q + (r != 0 ? 1 : 0));
    }
    Ref eight = make_int(8);
    Ref quotient = own(PyNumber_FloorDivide(count, eight.get()));
    Ref remainder = own(PyNumber_Remainder(count, eight.get()));
    if (!check(PyObject_IsTrue(remainder.get()))) return quotient;
    Ref one = make_int(1);
    return own(PyNumber_Add(quotient.get(), one.get()));
}

// count as a list size to stop at; -1 when no list can reach it (count <= 0 or huge).
Py_ssize_t coil_target(PyObject* count) {
    int overflow = 0;
    const long long c = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow || c <= 0 || c > PY_SSIZE_T_MAX) return -1;
    return static_cast<Py_ssize_t>(c);
}

Ref read_coils(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    check_count_field(count);
    Ref command = command_from(
        self, BREL_STR("construct_read_coils_command"), construct_read_coils_command,
        [](PyObject* x, PyObject* y) { return two_field_pdu(1, x, y); }, address, count);
    Ref byte_count = coil_byte_count(count);
    Ref one = make_int(1);
    Ref needed = own(PyNumber_Add(byte_count.get(), one.get()));
    Ref feedback = query_of(self, command.get(), needed.get());
    {
        Ref first = item(feedback.get(), 0);
        if (!equal(first.get(), byte_count.get())) raise_assertion(BREL_STR("Feedback for reading coils invalid"));
    }

    const Py_ssize_t target = coil_target(count);
    if (PyBytes_CheckExact(feedback.get())) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback.get()));
        const Py_ssize_t bits = PyBytes_GET_SIZE(feedback.get()) > 1 ? 8 * (PyBytes_GET_SIZE(feedback.get()) - 1) : 0;
        const Py_ssize_t size = target >= 0 && target < bits ? target : bits;
        Ref result = own(PyList_New(size));
        fill_bits(result.get(), p + 1);
        return result;
    }
    // An answer of another type from a replaced query: decode item by item.
    Ref result = own(PyList_New(0));
    Ref rest = own(PySequence_GetSlice(feedback.get(), 1, PY_SSIZE_T_MAX));
    Ref it = own(PyObject_GetIter(rest.get()));
    while (Ref byte = Ref::steal_or_null(PyIter_Next(it.get()))) {
        for (int bit = 0; bit < 8; ++bit) {
            Ref shift = make_int(bit);
            Ref shifted = own(PyNumber_Rshift(byte.get(), shift.get()));
            Ref masked = own(PyNumber_And(shifted.get(), one.get()));
            check(PyList_Append(result.get(), check(PyObject_IsTrue(masked.get())) ? Py_True : Py_False));
            if (PyList_GET_SIZE(result.get()) == target) return result;
        }
    }
    if (PyErr_Occurred()) raise();
    return result;
}

Ref read_registers(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    check_count_field(count);
    Ref command = command_from(
        self, BREL_STR("construct_read_registers_command"), construct_read_registers_command,
        [](PyObject* x, PyObject* y) { return two_field_pdu(3, x, y); }, address, count);
    // count is within 0..65535 here (checked above): 2 * count and 2 * count + 1 as ints.
    const long byte_count = 2 * PyLong_AsLong(count);
    Ref needed = make_int(byte_count + 1);
    Ref feedback = query_of(self, command.get(), needed.get());
    if (!first_byte_is(feedback.get(), byte_count)) raise_assertion(BREL_STR("Feedback for reading registers invalid"));

    const Py_ssize_t wanted = byte_count / 2;
    if (wanted == 0) return own(PyList_New(0));

    if (PyBytes_CheckExact(feedback.get())) {
        const Py_ssize_t available = PyBytes_GET_SIZE(feedback.get()) - 1;
        if (2 * wanted > available) raise(PyExc_IndexError, "index out of range");
        const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback.get())) + 1;
        Ref result = own(PyList_New(wanted));
        fill_registers(result.get(), p);
        return result;
    }
    Ref data = own(PySequence_GetSlice(feedback.get(), 1, PY_SSIZE_T_MAX));
    Ref eight = make_int(8);
    Ref result = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        Ref high = item(data.get(), 2 * i);
        Ref low = item(data.get(), 2 * i + 1);
        Ref shifted = own(PyNumber_Lshift(high.get(), eight.get()));
        Ref value = own(PyNumber_Or(shifted.get(), low.get()));
        check(PyList_Append(result.get(), value.get()));
    }
    return result;
}

// The first value of self.<reader>(address, 1): the members that read one value.
Ref read_one(Args& a, PyObject* reader) {
    check_address(a[1]);
    Ref one = make_int(1);
    Ref values = call_method(a[0], reader, a[1], one.get());
    return item(values.get(), 0);
}

Ref read_register(Args& a) { return read_one(a, BREL_STR("read_registers")); }

// (feedback[i] << 8) | feedback[i + 1].
Ref echo_word(PyObject* feedback, Py_ssize_t i) {
    if (PyBytes_CheckExact(feedback)) {
        if (PyBytes_GET_SIZE(feedback) < i + 2) raise(PyExc_IndexError, "index out of range");
        return make_int(modbus::get16(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(feedback)) + i));
    }
    Ref high = item(feedback, i);
    Ref low = item(feedback, i + 1);
    Ref eight = make_int(8);
    Ref shifted = own(PyNumber_Lshift(high.get(), eight.get()));
    return own(PyNumber_Or(shifted.get(), low.get()));
}

Ref write_registers(Args& a) {
    PyObject *self = a[0], *address = a[1], *values = a[2];
    check_address(address);
    Ref command = command_from(self, BREL_STR("construct_write_registers_command"), construct_write_registers_command,
                               write_registers_pdu, address, values);
    Ref four = make_int(4);
    Ref feedback = query_of(self, command.get(), four.get());
    Ref fb_address = echo_word(feedback.get(), 0);
    Ref fb_count = echo_word(feedback.get(), 2);
    {
        bool ok = equal(fb_address.get(), address);
        if (ok) {
            Ref n = own(PyLong_FromSsize_t(check_size(PyObject_Length(values))));
            ok = equal(fb_count.get(), n.get());
        }
        if (!ok) {
            Ref message = host_message(self, BREL_STR("Write registers to "), BREL_STR(" failed."));
            raise_assertion(message.get());
        }
    }
    return none();
}

Ref write_register(Args& a) {
    check_address(a[1]);
    Ref values = own(PyList_New(1));
    PyList_SET_ITEM(values.get(), 0, Py_NewRef(a[2]));
    call_method(a[0], BREL_STR("write_registers"), a[1], values.get());
    return none();
}

Ref write_coil(Args& a) {
    PyObject *self = a[0], *address = a[1], *value = a[2];
    check_address(address);
    Ref command = command_from(self, BREL_STR("construct_write_coil_command"), construct_write_coil_command,
                               write_coil_pdu, address, value);
    Ref four = make_int(4);
    Ref feedback = query_of(self, command.get(), four.get());
    Ref fb_address = echo_word(feedback.get(), 0);
    bool success = equal(fb_address.get(), address);
    for (Py_ssize_t i = 2; success && i < 4; ++i) {
        Ref answer_byte = item(feedback.get(), i);
        Ref command_byte = item(command.get(), i + 1);
        success = equal(answer_byte.get(), command_byte.get());
    }
    if (!success) {
        Ref number = own(PyObject_Str(address));
        Ref prefix = own(PyUnicode_FromFormat("Write coil address [%U] to ", number.get()));
        Ref message = host_message(self, prefix.get(), BREL_STR(" failed."));
        raise_assertion(message.get());
    }
    return none();
}

// ---- the data model: codes 2, 4, 6, 15, 22, 23 and 43, typed values ---------------------------
//
// Each operation refuses what the protocol cannot carry before anything is sent, builds
// its PDU with modbus/adu.hpp or modbus/frames.hpp, exchanges it through self.__query
// (looked up on the instance, so subclasses and the master's lock apply; the function
// code, the declared length and exception answers are checked there), then checks that
// the answer belongs to the request with pdu_answer_matches. Typed values go through the
// codec of modbus/values.hpp and through self.read_registers / self.write_registers.

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
    std::uint8_t head[8] = {};  // a unit identifier, then the request's PDU
    const std::size_t n = std::min(size, sizeof head - 1);
    std::memcpy(head + 1, request, n);
    const Py_ssize_t length = PyBytes_GET_SIZE(data);
    std::vector<std::uint8_t> pdu(1 + static_cast<std::size_t>(length));
    pdu[0] = request[0];
    std::memcpy(pdu.data() + 1, PyBytes_AS_STRING(data), static_cast<std::size_t>(length));
    return modbus::pdu_answer_matches(modbus::request_head(head, 1 + n), rule, pdu.data(), pdu.size());
}

// "<prefix> address [N] to <peer> failed."
[[noreturn]] void raise_write_failed(PyObject* self, const char* prefix, PyObject* address) {
    Ref number = own(PyObject_Str(address));
    Ref head = own(PyUnicode_FromFormat("%s address [%U] to ", prefix, number.get()));
    Ref message = host_message(self, head.get(), BREL_STR(" failed."));
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

Ref read_input_registers(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    const std::size_t n = limited_count(count, "count", modbus::kMaxReadRegisters);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kReadInputRegisters, low16(address), static_cast<std::uint16_t>(n));
    Ref data = exchange(self, pdu, sizeof pdu, 1 + 2 * n);
    if (!answers(pdu, sizeof pdu, modbus::AnswerRule::RegisterBytes, data.get()))
        raise_assertion(BREL_STR("Feedback for reading registers invalid"));
    return registers_of(data.get());
}

Ref read_input_register(Args& a) { return read_one(a, BREL_STR("read_input_registers")); }

Ref read_input_coils(Args& a) {
    PyObject *self = a[0], *address = a[1], *count = a[2];
    check_address(address);
    const std::size_t n = limited_count(count, "count", modbus::kMaxReadBits);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kReadDiscreteInputs, low16(address), static_cast<std::uint16_t>(n));
    Ref data = exchange(self, pdu, sizeof pdu, 1 + (n + 7) / 8);
    if (!answers(pdu, sizeof pdu, modbus::AnswerRule::BitBytes, data.get()))
        raise_assertion(BREL_STR("Feedback for reading coils invalid"));
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.get())) + 1;
    Ref result = own(PyList_New(static_cast<Py_ssize_t>(n)));
    fill_bits(result.get(), p);
    return result;
}

Ref read_coil(Args& a) { return read_one(a, BREL_STR("read_coils")); }

Ref write_single_register(Args& a) {
    PyObject *self = a[0], *address = a[1], *value = a[2];
    check_address(address);
    std::uint8_t pdu[modbus::kTcpReadPduSize];
    modbus::tcp_two_fields(pdu, modbus::kWriteSingleRegister, low16(address), low16(value));
    Ref data = exchange(self, pdu, sizeof pdu, 4);
    if (!answers(pdu, sizeof pdu, modbus::AnswerRule::Echo, data.get()))
        raise_write_failed(self, "Write register", address);
    return none();
}

Ref write_coils(Args& a) {
    PyObject *self = a[0], *address = a[1];
    check_address(address);
    Ref states = items_of(a[2], "truth values");
    const Py_ssize_t n = PyTuple_GET_SIZE(states.get());
    check_items(n, modbus::kMaxWriteCoils);
    std::vector<std::uint8_t> on(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        on[static_cast<std::size_t>(i)] = check(PyObject_IsTrue(PyTuple_GET_ITEM(states.get(), i))) != 0;
    std::uint8_t pdu[6 + (modbus::kMaxWriteCoils + 7) / 8];
    const std::size_t size = modbus::pdu_write_coils(pdu, low16(address), on, on.size());
    Ref data = exchange(self, pdu, size, 4);
    if (!answers(pdu, size, modbus::AnswerRule::Echo, data.get())) raise_write_failed(self, "Write coils", address);
    return none();
}

Ref mask_write_register(Args& a) {
    PyObject *self = a[0], *address = a[1], *and_mask = a[2], *or_mask = a[3];
    check_address(address);
    check_field(and_mask, "and_mask", modbus::kMaxAddress);
    check_field(or_mask, "or_mask", modbus::kMaxAddress);
    std::uint8_t pdu[7];
    const std::size_t size = modbus::pdu_mask_write_register(pdu, low16(address), low16(and_mask), low16(or_mask));
    Ref data = exchange(self, pdu, size, 6);
    if (!answers(pdu, size, modbus::AnswerRule::EchoMasks, data.get()))
        raise_write_failed(self, "Mask write register", address);
    return none();
}

Ref read_write_registers(Args& a) {
    PyObject *self = a[0], *read_address = a[1], *read_count = a[2], *write_address = a[3], *values = a[4];
    check_address(read_address);
    const std::size_t n = limited_count(read_count, "read_count", modbus::kMaxReadWriteRead);
    check_address(write_address);
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
    std::uint8_t pdu[10 + 2 * modbus::kMaxReadWriteWrite];
    const std::size_t size = modbus::pdu_read_write_registers(pdu, low16(read_address), static_cast<std::uint16_t>(n),
                                                              low16(write_address), words.data(), words.size());
    Ref data = exchange(self, pdu, size, 1 + 2 * n);
    if (!answers(pdu, size, modbus::AnswerRule::RegisterBytes, data.get()))
        raise_assertion(BREL_STR("Feedback for reading registers invalid"));
    return registers_of(data.get());
}

// Code 43 / 14, page by page: a page that says more follows names the object to ask for
// next, which must lie beyond the one asked for, so that the reading ends.
Ref read_device_identification(Args& a) {
    PyObject *self = a[0], *read_code = a[1], *object_id = a[2];
    const std::uint8_t code = identification_read_code(read_code);
    check_field(object_id, "object_id", 0xFF);
    std::uint8_t next = static_cast<std::uint8_t>(low16(object_id));
    Ref objects = own(PyDict_New());
    for (;;) {
        std::uint8_t pdu[4];
        const std::size_t size = modbus::pdu_read_device_identification(pdu, static_cast<std::uint8_t>(code), next);
        Ref data = exchange(self, pdu, size, Py_None);
        bool ok = answers(pdu, size, modbus::AnswerRule::Identification, data.get());
        modbus::IdentificationPage page;
        if (ok) {
            std::vector<std::uint8_t> answer(1 + static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())));
            answer[0] = modbus::kEncapsulatedInterface;
            std::memcpy(answer.data() + 1, PyBytes_AS_STRING(data.get()), answer.size() - 1);
            ok = modbus::parse_identification(
                answer.data(), answer.size(), page,
                [&](std::uint8_t id, const std::uint8_t* value, std::size_t length) {
                    Ref key = make_int(id);
                    Ref bytes = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value),
                                                              static_cast<Py_ssize_t>(length)));
                    check(PyDict_SetItem(objects.get(), key.get(), bytes.get()));
                });
        }
        if (!ok) raise_assertion(BREL_STR("Feedback for reading device identification invalid"));
        if (code == 4 || !page.more_follows) return objects;
        if (page.next_object <= next) {
            Ref message = own(PyUnicode_FromFormat(
                "Feedback for reading device identification invalid: next object id %d does not follow %d",
                static_cast<int>(page.next_object), static_cast<int>(next)));
            raise_assertion(message.get());
        }
        next = page.next_object;
    }
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

// The words of the registers a read member returned: ints in 0..65535, as many as the
// layout takes (ValueError or TypeError, with the codec's texts, otherwise).
Ref decode_read(const ValueLayout& layout, PyObject* registers) {
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
    return decode_words(layout, words.data(), words.size());
}

// The layout's registers read by self.<reader>(address, n), decoded.
Ref read_layout(PyObject* self, PyObject* reader, PyObject* address, const ValueLayout& layout) {
    Ref n = own(PyLong_FromSize_t(layout.registers()));
    Ref registers = call_method(self, reader, address, n.get());
    return decode_read(layout, registers.get());
}

// The values encoded by the layout, written by self.write_registers(address, registers).
void write_layout(PyObject* self, PyObject* address, const ValueLayout& layout, PyObject* values) {
    const std::vector<std::uint16_t> words = encode_to_words(layout, values);
    Ref registers = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (std::size_t i = 0; i < words.size(); ++i)
        PyList_SET_ITEM(registers.get(), static_cast<Py_ssize_t>(i), make_int(words[i]).release());
    call_method(self, BREL_STR("write_registers"), address, registers.get());
}

char code_of(const Args& a) { return *static_cast<const char*>(a.data); }

Ref read_int16(Args& a) {
    check_address(a[1]);
    const ValueLayout layout = layout_of(1, 'h', BREL_STR("ABCD"));
    Ref values = read_layout(a[0], BREL_STR("read_registers"), a[1], layout);
    return item(values.get(), 0);
}

// read_uint32, read_int32, read_float: (self, address, endian).
Ref read_32(Args& a) {
    check_address(a[1]);
    const ValueLayout layout = layout_of(1, code_of(a), order_of(a[2]));
    Ref values = read_layout(a[0], BREL_STR("read_registers"), a[1], layout);
    return item(values.get(), 0);
}

// read_multi_*: (self, address, count, endian).
Ref read_multi_32(Args& a) {
    check_address(a[1]);
    const std::size_t n = limited_count(a[2], "count", modbus::kMaxReadRegisters / 2);
    const ValueLayout layout = layout_of(n, code_of(a), order_of(a[3]));
    return read_layout(a[0], BREL_STR("read_registers"), a[1], layout);
}

// write_int32, write_uint32, write_float: (self, address, value, endian).
Ref write_32(Args& a) {
    check_address(a[1]);
    const ValueLayout layout = layout_of(1, code_of(a), order_of(a[3]));
    Ref values = own(PyTuple_Pack(1, a[2]));
    write_layout(a[0], a[1], layout, values.get());
    return none();
}

// write_multi_*: (self, address, values, endian).
Ref write_multi_32(Args& a) {
    check_address(a[1]);
    Ref values = items_of(a[2], "numbers");
    const Py_ssize_t n = PyTuple_GET_SIZE(values.get());
    check_items(static_cast<std::size_t>(n), kMaxValueWriteRegisters / 2);
    const ValueLayout layout = layout_of(static_cast<std::size_t>(n), code_of(a), order_of(a[3]));
    write_layout(a[0], a[1], layout, values.get());
    return none();
}

Ref read_values(Args& a) {
    PyObject *self = a[0], *address = a[1], *format = a[2], *order = a[3], *func_code = a[4];
    check_address(address);
    const ValueLayout layout = value_layout(format, order);
    check_registers(layout.registers(), modbus::kMaxReadRegisters, "read");
    check_register_read_code(func_code);
    PyObject* reader = int_equals(func_code, modbus::kReadHoldingRegisters) ? BREL_STR("read_registers")
                                                                            : BREL_STR("read_input_registers");
    return read_layout(self, reader, address, layout);
}

Ref write_values(Args& a) {
    PyObject *self = a[0], *address = a[1], *format = a[2], *values = a[3], *order = a[4];
    check_address(address);
    const ValueLayout layout = value_layout(format, order);
    check_registers(layout.registers(), kMaxValueWriteRegisters, "written");
    write_layout(self, address, layout, values);
    return none();
}

// A typed member: address, the `middle` parameters, then endian; `code` is the value's
// format code, handed to the body as Args::data.
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* code,
                 const char* returns = nullptr) {
    std::vector<ParamSpec> params{{"address", "int"}};
    params.insert(params.end(), middle.begin(), middle.end());
    params.push_back({"endian", "str", str_default(">")});
    MemberSpec m = method(key, impl, std::move(params), returns);
    m.data = code;
    return m;
}

constexpr const char* kQueryDoc =
    "\n\t\t此函数根据提供的 command 构建出完整的查询报文。"
    "\n\t\t发送查询报文后接收应答报文，此函数执行基本的报文检验，确保收到的报文符合要求。"
    "\n\t\t函数只把有用的数据报文返回给调用者。"
    "\n\t\t";

}  // namespace

// ---- member table -------------------------------------------------------------------------

void record_tcp_master_type(PyObject* type) noexcept {
    if (!PyType_Check(type)) return;
    Py_XSETREF(library_tcp_type, reinterpret_cast<PyTypeObject*>(Py_NewRef(type)));
}

const ClassSpec& tcp_master_class() {
    static const ClassSpec spec{
        .name = "ModbusTCPMaster",
        .doc = "Modbus 主站控制端，也叫客户端。",
        .members = {
            method("__init__", init,
                   {{"host", "str"}, {"port", "int"}, {"timeout", "float"}, {"station", "int", int_default(1)}}),
            property("socket", get_socket),
            method("close", locked<close_socket>),
            enter_member(),
            exit_member(),
            property("timeout", get_timeout),
            property("station", get_station, "int", set_station, "int"),
            property("last_command_sent", get_last_sent, "bytes"),
            property("last_feedback_received", get_last_received, "bytes"),
            hex_view("last_command_sent_hex", "last_command_sent"),
            hex_view("last_feedback_received_hex", "last_feedback_received"),
            property("protocol", get_protocol, "int"),
            static_method("construct_header", construct_header,
                          {{"command", "bytes"},
                           {"head_checker", "int"},
                           {"protocol", "int", int_default(0)},
                           {"station", "int", int_default(1)}}),
            static_method("construct_whole_query_command", construct_whole_query_command,
                          {{"command", "bytes"},
                           {"head_checker", "int"},
                           {"protocol", "int", int_default(0)},
                           {"station", "int", int_default(1)}}),
            method("_ModbusTCPMaster__query", locked<query>,
                   {{"command", "bytes"}, {"length_needed", "_Optional[int]", none_default}}, "bytes", kQueryDoc),
            static_method("construct_read_registers_command", construct_read_registers_command,
                          {{"address", "int"}, {"count", "int"}}),
            static_method("construct_read_coils_command", construct_read_coils_command,
                          {{"address", "int"}, {"count", "int"}}),
            method("read_coils", retried<read_coils>, {{"address", "int"}, {"count", "int"}}, "_List[bool]"),
            method("read_registers", retried<read_registers>, {{"address", "int"}, {"count", "int"}}, "_List[int]"),
            method("read_register", read_register, {{"address", "int"}}, "int"),
            static_method("construct_write_registers_command", construct_write_registers_command,
                          {{"address", "int"}, {"values", "_List[int]"}}),
            method("write_registers", retried<write_registers>, {{"address", "int"}, {"values", "_List[int]"}}),
            method("write_register", write_register, {{"address", "int"}, {"value", "int"}}),
            static_method("construct_write_coil_command", construct_write_coil_command,
                          {{"address", "int"}, {"value", "bool"}}),
            method("write_coil", retried<write_coil>, {{"address", "int"}, {"value", "bool"}}),
            method("read_input_registers", retried<read_input_registers>, {{"address", "int"}, {"count", "int"}},
                   "_List[int]"),
            method("read_input_register", read_input_register, {{"address", "int"}}, "int"),
            method("read_input_coils", retried<read_input_coils>, {{"address", "int"}, {"count", "int"}},
                   "_List[bool]"),
            method("read_coil", read_coil, {{"address", "int"}}, "bool"),
            method("write_single_register", retried<write_single_register>, {{"address", "int"}, {"value", "int"}}),
            method("read_int16", read_int16, {{"address", "int"}}, "int"),
            alias("read_uint16", "read_register"),
            alias("write_int16", "write_register"),
            alias("write_uint16", "write_register"),
            typed("read_uint32", read_32, {}, "I", "int"),
            typed("read_int32", read_32, {}, "i", "int"),
            typed("read_float", read_32, {}, "f", "float"),
            typed("read_multi_uint32", read_multi_32, {{"count", "int"}}, "I", "_List[int]"),
            typed("read_multi_int32", read_multi_32, {{"count", "int"}}, "i", "_List[int]"),
            typed("read_multi_float", read_multi_32, {{"count", "int"}}, "f", "_List[float]"),
            typed("write_int32", write_32, {{"value"}}, "i"),
            typed("write_uint32", write_32, {{"value"}}, "I"),
            typed("write_float", write_32, {{"value"}}, "f"),
            typed("write_multi_int32", write_multi_32, {{"values"}}, "i"),
            typed("write_multi_uint32", write_multi_32, {{"values"}}, "I"),
            typed("write_multi_float", write_multi_32, {{"values"}}, "f"),
            method("write_coils", retried<write_coils>, {{"address", "int"}, {"values"}}),
            method("mask_write_register", retried<mask_write_register>,
                   {{"address", "int"}, {"and_mask", "int"}, {"or_mask", "int"}}),
            method("read_write_registers", retried<read_write_registers>,
                   {{"read_address", "int"}, {"read_count", "int"}, {"write_address", "int"}, {"values", "_List[int]"}},
                   "_List[int]"),
            method("read_device_identification", retried<read_device_identification>,
                   {{"read_code", "int", int_default(1)}, {"object_id", "int", int_default(0)}}, "dict[int, bytes]"),
            method("read_values", read_values,
                   {{"address", "int"},
                    {"format", "str"},
                    {"order", "str", str_default("ABCD")},
                    {"func_code", "int", int_default(3)}},
                   "list"),
            method("write_values", write_values,
                   {{"address", "int"}, {"format", "str"}, {"values"}, {"order", "str", str_default("ABCD")}}),
            retries_member(),
            reconnect_member(),
        }};
    return spec;
}

}  // namespace brel
