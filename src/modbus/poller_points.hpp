// What the pollers (Poller, AsyncPoller) share with the interpreter: points checked as add()
// checks them, answers decoded into values, failures told apart, the figures and what was
// learned as Python objects.
#pragma once

#include "modbus/poller_learning.hpp"
#include "modbus/protocol.hpp"
#include "module/runtime.hpp"

#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brel::poller {

namespace polling = modbus::polling;
using polling::Table;

struct PointData {
    Ref name;            // the str given to add()
    ValueLayout layout;  // register points: the format and byte order
    bool one_value = true;
};

// The points of one master, what was learned of its stations, and its plan.
struct Book {
    polling::Gaps gaps;
    std::vector<polling::Point> points;
    std::deque<PointData> data;  // beside points, same index; never moves what it holds
    polling::Learning learning;
    std::map<std::uint8_t, Ref> last_errors;  // per station: the last failure, while it lasts
    std::vector<polling::Request> plan;
    bool planned = false;
    std::vector<polling::Schedule> schedules;  // one per period

    const std::vector<polling::Request>& current_plan() {
        if (learning.replan) {
            learning.replan = false;
            planned = false;
        }
        if (!planned) {
            plan = polling::make_plan(points, learning.cuts, gaps, learning.limits);
            planned = true;
        }
        return plan;
    }
    polling::Schedule* schedule_of(double period) {
        for (polling::Schedule& s : schedules)
            if (s.period == period) return &s;
        return nullptr;
    }
    // The requests of the plan whose period is due at `now`, and those periods.
    std::vector<polling::Request> due_requests(double now, std::vector<double>& due) {
        due.clear();
        for (const polling::Schedule& s : schedules)
            if (s.is_due(now)) due.push_back(s.period);
        std::vector<polling::Request> requests;
        for (const polling::Request& r : current_plan())
            if (std::find(due.begin(), due.end(), r.period) != due.end()) requests.push_back(r);
        return requests;
    }
    void advance(const std::vector<double>& due, double now) {
        for (const double period : due)
            if (polling::Schedule* s = schedule_of(period)) s->advance(now);
    }
    // The earliest slot of any schedule (minus infinity before the first pass); false without points.
    bool next_slot(double& when) const {
        if (schedules.empty()) return false;
        when = INFINITY;
        for (const polling::Schedule& s : schedules) when = std::min(when, s.started ? s.due : -INFINITY);
        return true;
    }
};

// How a master is asked: Master and AsyncMaster take the station first; FixMaster,
// ModbusTCPMaster and AsyncModbusTCPMaster read their own station.
enum class MasterKind : std::uint8_t { Stationed, Fixed, Tcp };

// The kind of the first class in `classes` (module names) that `master` is an instance of;
// none when it is of none of them.
struct ClassKind {
    const char* class_name;
    MasterKind kind;
};
std::optional<MasterKind> kind_of(PyObject* master, std::initializer_list<ClassKind> classes);

// The master's answer to one request through its public members (read_registers,
// read_input_registers, read_coils, read_input_coils): the registers or bits it read, or an
// asyncio master's future of them.
Ref read_request(PyObject* master, MasterKind kind, const polling::Request& r);

PyObject* table_text(Table t);
std::string utf8_of(PyObject* text);
Ref make_int(long long v);

// The arguments of add(name, station, table, address, format, order, period), checked in that
// order before anything is taken, as `who` ("Poller", "AsyncPoller") says it. `fixed`: a
// master that reads its own station only (its `station`), else nullptr for one that addresses
// stations, station 0 refused.
struct NewPoint {
    polling::Point point;
    PointData data;
};
NewPoint checked_point(const char* who, PyObject* const* args, PyObject* fixed);
// The point joins the book (its name already known to be new).
void take_point(Book& book, NewPoint&& p);

// A point's value as a write: write_registers with its registers (its format and order) for
// a holding register, write_coil for a coil; checked as `who`'s write() checks it (ValueError
// for an input, a discrete input, or more registers than one write takes).
struct PointWrite {
    PyObject* method;  // borrowed interned name
    Ref station, address, payload;
};
PointWrite point_write(const char* who, const Book& book, std::size_t index, PyObject* name, PyObject* value);
// The write through the master's public member: what it returns (None, or an asyncio
// master's future).
Ref call_write(PyObject* master, MasterKind kind, const PointWrite& w);

// The points of `r` get `value` (a failure) in `values`.
void give_points(const Book& book, const polling::Request& r, PyObject* values, PyObject* value);

// The request sent last by `walk` ended with `answer` (the master's registers or bits), after
// `round_trip` seconds: its points decoded into `values`. An answer that cannot be decoded
// fails the request.
void take_answer(Book& book, polling::PassWalk& walk, PyObject* answer, double round_trip, PyObject* values);
// The request sent last by `walk` ended with the exception `exc` (an Exception) after
// `round_trip` seconds: a refusal teaches, a failure counts against its station; the points
// get the exception unless the request was split.
void take_failure(Book& book, polling::PassWalk& walk, PyObject* exc, double round_trip, PyObject* values);
// The walk's Skip: the points get their station's last failure.
void take_skip(const Book& book, const polling::Request& r, PyObject* values);

// {station: {name: figure}} for the stats property.
Ref stats_of(const Book& book);
// The book's learned cuts and bounds as plain data, and back (every entry checked first; the
// messages start with `who`, the argument as its poller names it).
Ref learned_of(const polling::Learning& learning);
void load_learned(polling::Learning& learning, PyObject* learned, const char* who = "Poller: learned");

// The state of a poller in a capsule of its __dict__, with the capsule that keeps it alive while
// the caller works on it (interpreter code run meanwhile may replace the attribute).
template <class State>
struct Held {
    Ref capsule;
    State* state = nullptr;
    State* operator->() const noexcept { return state; }
};

// The state under `key`, or TypeError "<who>: the instance holds no poller state ...".
void* capsule_state(PyObject* self, PyObject* key, const char* capsule_name, const char* who, Ref& capsule);

template <class State>
Held<State> held_state(PyObject* self, PyObject* key, const char* capsule_name, const char* who) {
    Held<State> held;
    held.state = static_cast<State*>(capsule_state(self, key, capsule_name, who, held.capsule));
    return held;
}

template <class State, const char* const* capsule_name>
void free_state(PyObject* capsule) noexcept {
    delete static_cast<State*>(PyCapsule_GetPointer(capsule, *capsule_name));
}

// run(duration): seconds from 0, or infinity for None; ValueError "<who>.run: ..." otherwise.
double run_seconds(const char* who, PyObject* duration);

// A gap argument (max_gap, max_bit_gap): an int from 0, larger ones taken as 65535.
std::size_t gap_value(const char* who, PyObject* value, const char* what);
// max_gap: a gap as gap_value takes it into `gap`, or "auto" (true, `gap` left as it is).
bool register_gap(const char* who, PyObject* value, std::size_t& gap);
// max_gap="auto": the register gap follows the round trips measured (plan.hpp's ReadCosts),
// the plan made again when it moves.
void follow_costs(Book& book, const polling::ReadCosts& costs);
// The keyword-only figures of a poller: max_failures (an int from 1) and max_backoff (a
// positive number of seconds, already a float).
void set_unit_limits(const char* who, polling::Learning& learning, PyObject* max_failures, PyObject* max_backoff);

}  // namespace brel::poller
