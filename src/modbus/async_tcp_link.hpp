// What AsyncModbusTCPMaster's files share: a request, the link of a master and the calls on it.
#pragma once

#include "modbus/operations.hpp"
#include "modbus/tcp_master_shared.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace brel::atcp {

using tcp::make_int;
using tcp::none;

inline constexpr long kMaxInFlight = 16;

// What the data part of an answer becomes.
enum class Decode : std::uint8_t {
    Carried,         // codes 1, 3, 5, 16: judged by `check` against the caller's objects
    RuleRegisters,   // codes 4 and 23: registers checked against the request by its rule
    RuleBits,        // code 2: bits checked by its rule
    Confirm,         // codes 6, 15, 22: the request repeated, by its rule
    Values,          // registers decoded by a layout
    Identification,  // code 43/14: one page into `count` (a dict), then the next page asked for
    Replay,          // answers of their own shape: the synchronous face replayed over them
};

// A face of the synchronous master over any exchange (tcp_data_model.cpp's `..._on`).
using Face = Ref (*)(ops::Exchange& ex, Args& a);

struct Request {
    Ref future;
    std::vector<std::uint8_t> pdu;    // function code first
    std::optional<long long> needed;  // data bytes after the function code the answer must declare
    Decode decode = Decode::Carried;
    ops::CarriedCheck check = ops::CarriedCheck::RegisterBytes;  // Carried: how the answer is judged
    bool first = false;                                          // the result is the first value only
    bool write = false;                                          // goes before waiting reads
    modbus::AnswerRule rule = modbus::AnswerRule::Echo;
    const char* fault = nullptr;  // the prefix of a failed write's text, or a failed read's text
    Ref count;                    // Carried: the count read or the values written; Identification: the dict
    Ref address;                  // the operation's address, as passed
    Ref command;                  // Carried: the PDU as bytes
    std::optional<ValueLayout> layout;
    long retries_left = 0;
    std::uint8_t unit = 1;  // the station when the call was made
    Ref trace;              // the master's trace callable when the call was made, or empty
    Ref master;             // the master lives while its call does
    // Replay: the face, its arguments (self first) and the data parts of the answers so far.
    Face face = nullptr;
    Ref arguments;
    std::vector<Ref> answers;
    // On the wire:
    std::vector<std::uint8_t> frame;  // MBAP header and PDU
    double deadline = 0;
};

// What every asyncio master's link keeps of its connection (AsyncModbusTCPMaster's, and
// AsyncMaster's to a serial server).
struct Connection {
    Ref loop;
    Ref transport;                 // while connected
    PyObject* protocol = nullptr;  // the asyncio protocol object of this link (borrowed: whatever
                                   // reaches the link holds it)
    Ref connecting;                // the task opening the connection
    Ref opening;                   // its create_connection coroutine: closed when the task ends, run or not
    std::vector<std::pair<Ref, Ref>> connect_waiters;  // future, the value it gets once connected
    std::vector<Ref> close_waiters;
    Ref target;  // (host, port)
    Ref host, port;
    Ref ssl_context;  // each connection's TLS context (Modbus/TCP Security); empty for plain TCP
    Ref master_ref;   // a weak reference to the master: its callback lets the connection go when the master is freed
    double timeout = 1;
    bool closed = false;
    bool shut = false;  // closed by close(): a call made since is the master's misuse
};

struct Link : Connection {
    Ref timer;  // the TimerHandle of the earliest deadline
    double timer_at = 0;
    std::deque<std::unique_ptr<Request>> waiting;
    std::vector<std::unique_ptr<Request>> in_flight;
    modbus::RecentRequests recent;
    modbus::AnswerBuffer received;  // what came and is not yet taken
    Ref last_sent, last_received;
    long station = 1;
    long max_in_flight = 1;
    std::uint16_t next_transaction = 1;
    bool one_at_a_time = false;  // after a time-out or an unknown transaction identifier
    bool reconnect = true;
};

// Runs `step` and drops what it raises: for the ends of a link whose loop may be closed already.
template <class F>
void quietly(F&& step) noexcept {
    try {
        step();
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

// ---- a link in a capsule, held by its master's dict and by its protocol object ---------------

template <class L>
void drop_capsule_link(PyObject* capsule) {
    delete static_cast<L*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
}

// The link of a master (or of its protocol object) under `key`; RuntimeError
// `not_initialised` before the master's __init__.
template <class L>
L& capsule_link(PyObject* self, PyObject* key, const char* capsule_name, const char* not_initialised) {
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
    if (!dict) raise();
    PyObject* capsule = PyDict_GetItemWithError(dict.get(), key);
    if (!capsule) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, not_initialised);
        raise();
    }
    auto* link = static_cast<L*>(PyCapsule_GetPointer(capsule, capsule_name));
    if (!link) raise();
    return *link;
}

// A new link under `key`, held by self and by a new protocol object of `protocol_type`, which
// self keeps under `protocol_key` (the transport too while connected), not the link: so
// that nothing the collector cannot see keeps it.
template <class L>
L& new_capsule_link(PyObject* self, PyObject* key, PyObject* protocol_key, const char* capsule_name,
                    PyObject* protocol_type) {
    auto owned = std::make_unique<L>();
    L& link = *owned;
    Ref capsule = own(PyCapsule_New(owned.get(), capsule_name, drop_capsule_link<L>));
    owned.release();
    Ref protocol = own(PyObject_CallNoArgs(protocol_type));
    setattr(protocol.get(), key, capsule.get());
    setattr(self, key, capsule.get());
    setattr(self, protocol_key, protocol.get());
    link.protocol = protocol.get();
    return link;
}

// An exchange for a synchronous face: it hands the face the answers that came, in order, and
// when the face asks for one more, keeps its request (`pdu`, `needed`) and stops the face by
// throwing Caught. Run at the call (no answers: the arguments are checked and the first
// request is caught) and again as each answer comes.
struct Caught {};

class Replay final : public ops::Exchange {
public:
    explicit Replay(const std::vector<Ref>& answers) : answers_(answers) {}

    std::vector<std::uint8_t> pdu;
    std::optional<long long> needed;

    std::vector<std::uint8_t> answer(ops::Pdu request, const ops::AnswerShape& shape, const ops::AnswerCheck& check,
                                     ops::Fault fault) override;
    void confirm(ops::Pdu, std::size_t, modbus::AnswerRule, ops::Fault) override { unused(); }
    Ref registers(ops::Pdu, std::size_t, ops::Fault) override { unused(); }
    void page(ops::Pdu, const ops::PageReader&) override { unused(); }
    [[noreturn]] void no_progress(std::uint8_t, std::uint8_t) override { unused(); }
    std::vector<std::uint16_t> read_words(PyObject*, std::size_t, PyObject*) override { unused(); }
    void write_list(PyObject*, PyObject*) override { unused(); }

private:
    [[noreturn]] static void unused() { raise(PyExc_SystemError, "not an exchange of the replayed faces"); }
    const std::vector<Ref>& answers_;
    std::size_t next_ = 0;
};

// The face over the answers of `r` so far: its result, or nullptr when it asked for one more
// request (now in r.pdu and r.needed).
Ref replay(Request& r);

// ---- async_tcp_link.cpp -----------------------------------------------------------------------

PyObject* k_link();
// The link of a master (or of its protocol object); RuntimeError before __init__.
Link& link_of(PyObject* self);
// A new link, held by self and by its new protocol object.
Link& new_link(PyObject* self);
bool done(PyObject* future);
void resolve(PyObject* future, PyObject* value);
// future.set_exception(type(message)) unless it is done.
void fail(PyObject* future, PyObject* type, PyObject* message);
// "Connection closed by (host, port)".
Ref closed_message(Connection& link);
// future.set_exception(MasterClosedError "[Errno 9] Bad file descriptor"): a call after
// close(), with the error the synchronous master's closed socket gives.
void fail_shut(PyObject* future);
// Fails `future` as the link's state says no call can go now; false when one can.
bool refused_by_closed(Connection& link, PyObject* future);
// Opens the connection (a task of the link's loop that calls protocol._connected(task)
// when it ends), unless it is open or opening.
void start_connecting(Connection& link);
// A future of the running loop, which the link keeps while it is connected (`busy`: calls
// are made on it): RuntimeError when a busy link is asked from another loop.
Ref loop_future(Connection& link, bool busy);
// `future` gets `value` once the connection is open, or the error of opening it.
Ref connected_future(Connection& link, Ref future, PyObject* value);
// The link lets its connection go when `master` is freed without close(): a weak reference to
// the master whose callback is the protocol object's _master_gone (which calls let_go).
void watch_master(Connection& link, PyObject* master);
// The master was freed without close(): the link is closed, its opening cancelled and its
// transport closed (quietly, as the loop may be closed), so that once the transport lets go
// of the protocol object nothing is left holding the link.
void let_go(Connection& link);
// The end of close(): the opening cancelled, the transport closed; `future` is done once it is.
void close_connection(Connection& link, PyObject* future);
// How the connecting task ended: Open (the waiters of connect() resolved), Closed (the
// master was closed meanwhile), or Failed (the error pending).
enum class Opened : std::uint8_t { Open, Closed, Failed };
Opened take_connection(Connection& link, PyObject* task);
// The pending exception handed to the future (and cleared).
void fail_with_pending(PyObject* future);
// Every request waiting (and every connect()) fails with the pending exception.
void fail_waiting(Link& link);
// A future of the running loop, which the link keeps while it is connected.
Ref new_future(Link& link);
// Queues a request (a write before the reads that wait), sends what may go; its future.
Ref submit(PyObject* self, std::unique_ptr<Request> r);
std::unique_ptr<Request> request_of(PyObject* pdu_bytes, Decode decode, std::optional<long long> needed);
std::unique_ptr<Request> request_of(const std::uint8_t* pdu, std::size_t size, Decode decode,
                                    std::optional<long long> needed);

}  // namespace brel::atcp
