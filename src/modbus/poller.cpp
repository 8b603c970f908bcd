// Poller: many points of many stations read with few requests, each point at its own period.
//
// The points, the learned cuts, the schedules and the figures live in one C++ state kept in
// the instance's __dict__ (a capsule under "_Poller__state"); the master and the clock sit
// beside it as plain attributes. Which points one request reads, when it is due and where a
// refused request is cut is decided in modbus/plan.hpp without the interpreter. A pass reads
// every due request through the master's public members, looked up on the master at each
// request (read_registers, read_input_registers, read_coils, read_input_coils), and decodes
// each point from its request's registers with the typed-value codec (protocol.hpp).
//
// A request that fails gives its exception to each of its points; one that the slave refuses
// as an illegal address or value (exception codes 2 and 3) is cut in two (plan.hpp's
// split_address), the cut kept for good, and both parts are read at once, down to one request
// per point.
//
// Threads: add() and a pass (poll(), each pass of run()) hold the poller's lock, so passes and
// changes take turns; run() lets it go while it sleeps. plan() and stats do not wait for a pass:
// they read the state as it stands (every change of the state is made with the interpreter lock
// held and no interpreter code run in between).
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/plan.hpp"
#include "modbus/protocol.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brel {
namespace {

namespace polling = modbus::polling;
using polling::Table;

PyObject* k_master() { return BREL_STR("_Poller__master"); }
PyObject* k_clock() { return BREL_STR("_Poller__clock"); }
PyObject* k_state() { return BREL_STR("_Poller__state"); }
constexpr const char* kCapsuleName = "brel_modbus.Poller.state";

Ref none() { return Ref::borrow(Py_None); }
Ref make_int(long long v) { return own(PyLong_FromLongLong(v)); }

// ---- the state ---------------------------------------------------------------------------

// How a master is asked: Master takes the station first; FixMaster and ModbusTCPMaster read
// their own station.
enum class MasterKind : std::uint8_t { Stationed, Fixed, Tcp };

struct PointData {
    Ref name;            // the str given to add()
    ValueLayout layout;  // register points: the format and byte order
    bool one_value = true;
};

struct Figures {
    unsigned long long requests = 0, answers = 0, timeouts = 0, crc_errors = 0, mismatches = 0, slave_exceptions = 0,
                       other_errors = 0;
    polling::RoundTrips round_trips;
};

struct State {
    MasterKind kind = MasterKind::Stationed;
    polling::Gaps gaps;
    std::vector<polling::Point> points;
    std::deque<PointData> data;  // beside points, same index; never moves what it holds
    std::unordered_map<std::string, std::size_t> by_name;
    std::vector<polling::Cut> cuts;
    std::vector<polling::Request> plan;
    bool planned = false;
    std::vector<polling::Schedule> schedules;  // one per period
    std::map<std::uint8_t, Figures> figures;   // one per station with points

    const std::vector<polling::Request>& current_plan() {
        if (!planned) {
            plan = polling::make_plan(points, cuts, gaps);
            planned = true;
        }
        return plan;
    }
    polling::Schedule* schedule_of(double period) {
        for (polling::Schedule& s : schedules)
            if (s.period == period) return &s;
        return nullptr;
    }
};

void free_state(PyObject* capsule) noexcept { delete static_cast<State*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

// The state of a poller, with the capsule that keeps it alive while the caller works on it
// (interpreter code run meanwhile may replace the attribute).
struct Held {
    Ref capsule;
    State* state = nullptr;
    State* operator->() const noexcept { return state; }
};

Held state_of(PyObject* self) {
    Held held{.capsule = Ref::steal_or_null(PyObject_GetAttr(self, k_state()))};
    if (held.capsule) held.state = static_cast<State*>(PyCapsule_GetPointer(held.capsule.get(), kCapsuleName));
    if (!held.state) {
        if (held.capsule || PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "Poller: the instance holds no poller state (was __init__ called?)");
        }
        raise();
    }
    return held;
}

// ---- clock and sleep -----------------------------------------------------------------------

timespec monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

double seconds_of(const timespec& ts) {
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The poller's clock: the monotonic clock, or the callable given as `clock`.
double clock_now(PyObject* self) {
    Ref clock = getattr(self, k_clock());
    if (clock.get() == Py_None) return seconds_of(monotonic_now());
    Ref value = call(clock.get());
    const double now = PyFloat_AsDouble(value.get());
    if (now == -1.0 && PyErr_Occurred()) raise();
    if (!std::isfinite(now)) raise(builtins.ValueError, "Poller: the clock gave a time that is not finite");
    return now;
}

// Sleep `seconds` on the monotonic clock with the interpreter lock released. A signal ends the
// wait early for its handler to run: an exception it raises (KeyboardInterrupt) passes on,
// otherwise the wait goes on to the same deadline.
void sleep_for(double seconds) {
    check(PyErr_CheckSignals());
    seconds = std::min(seconds, 1e9);  // some 31 years: as good as for ever, and it fits a time_t
    timespec deadline = monotonic_now();
    const double whole = std::floor(seconds);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        PyThreadState* saved = PyEval_SaveThread();
        const int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        PyEval_RestoreThread(saved);
        if (rc == 0) return;
        if (rc != EINTR) {
            errno = rc;
            PyErr_SetFromErrno(PyExc_OSError);
            raise();
        }
        check(PyErr_CheckSignals());
    }
}

// ---- construction ------------------------------------------------------------------------------

bool is_instance(PyObject* obj, const char* class_name) {
    Ref cls = global(own(PyUnicode_FromString(class_name)).get());
    return check(PyObject_IsInstance(obj, cls.get())) != 0;
}

MasterKind kind_of(PyObject* master) {
    if (is_instance(master, "Master")) return MasterKind::Stationed;
    if (is_instance(master, "FixMaster")) return MasterKind::Fixed;
    if (is_instance(master, "ModbusTCPMaster")) return MasterKind::Tcp;
    PyErr_Format(PyExc_TypeError, "Poller: master must be a Master, FixMaster or ModbusTCPMaster, not %.200s",
                 Py_TYPE(master)->tp_name);
    raise();
}

std::size_t gap_value(PyObject* value, const char* what) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_Format(PyExc_ValueError, "Poller: %s must not be negative: %S", what, value);
        raise();
    }
    // Any gap beyond the read limit merges as much as the limit allows.
    return overflow || v > 0xFFFF ? 0xFFFF : static_cast<std::size_t>(v);
}

// Poller(master, max_gap=16, max_bit_gap=256, clock=None)
Ref init(Args& a) {
    PyObject *self = a[0], *master = a[1], *clock = a[4];
    auto state = std::make_unique<State>();
    state->kind = kind_of(master);
    state->gaps.registers = gap_value(a[2], "max_gap");
    state->gaps.bits = gap_value(a[3], "max_bit_gap");
    if (clock != Py_None && !PyCallable_Check(clock)) {
        PyErr_Format(PyExc_TypeError, "Poller: clock must be callable or None, not %.200s", Py_TYPE(clock)->tp_name);
        raise();
    }
    Ref capsule = own(PyCapsule_New(state.get(), kCapsuleName, free_state));
    state.release();  // the capsule owns it now
    setattr(self, k_master(), master);
    setattr(self, k_clock(), clock);
    setattr(self, k_state(), capsule.get());
    return none();
}

// ---- add ----------------------------------------------------------------------------------------

struct TableName {
    const char* text;
    Table table;
};
constexpr TableName kTables[] = {
    {"holding", Table::Holding}, {"input", Table::Input}, {"coil", Table::Coil}, {"discrete", Table::Discrete}};

PyObject* table_text(Table t) {
    switch (t) {
        case Table::Holding:
            return BREL_STR("holding");
        case Table::Input:
            return BREL_STR("input");
        case Table::Coil:
            return BREL_STR("coil");
        case Table::Discrete:
            return BREL_STR("discrete");
    }
    return BREL_STR("holding");
}

Table table_of(PyObject* text) {
    for (const TableName& row : kTables)
        if (PyUnicode_CompareWithASCIIString(text, row.text) == 0) return row.table;
    PyErr_Format(PyExc_ValueError, "Poller.add: table must be 'holding', 'input', 'coil' or 'discrete': %R", text);
    raise();
}

// An exact int within 0..top, else OverflowError with the masters' text.
long long field_of(PyObject* value, const char* what, long long top) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) raise();
    if (overflow || v < 0 || v > top) {
        PyErr_Format(PyExc_OverflowError, "modbus: %s out of range 0 to %lld: %S", what, top, value);
        raise();
    }
    return v;
}

// The station a FixMaster or ModbusTCPMaster reads: its `station` now.
long long master_station(PyObject* master) {
    Ref station = getattr(master, BREL_STR("station"));
    const long long v = PyLong_AsLongLong(station.get());
    if (v == -1 && PyErr_Occurred()) raise();
    return v;
}

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(text, &size);
    if (!chars) raise();
    return std::string(chars, static_cast<std::size_t>(size));
}

// add(name, station, table, address, format="H", order="ABCD", period=1.0): every argument is
// checked before the point is taken.
Ref add(Args& a) {
    PyObject *self = a[0], *name = a[1];
    Held st = state_of(self);
    std::string key = utf8_of(name);
    if (st->by_name.count(key)) {
        PyErr_Format(PyExc_ValueError, "Poller.add: a point named %R exists already", name);
        raise();
    }
    const long long station = field_of(a[2], "station", 0xFF);
    if (st->kind == MasterKind::Stationed && station == 0)
        raise(builtins.ValueError, "Poller.add: station 0 is the broadcast address, which no slave answers");
    if (st->kind != MasterKind::Stationed) {
        Ref master = getattr(self, k_master());
        const long long own_station = master_station(master.get());
        if (station != own_station) {
            PyErr_Format(PyExc_ValueError,
                         "Poller.add: station %lld is not the master's station %lld (a %.200s reads its own station "
                         "only)",
                         station, own_station, Py_TYPE(master.get())->tp_name);
            raise();
        }
    }
    const Table table = table_of(a[3]);
    const long long address = field_of(a[4], "address", modbus::kMaxAddress);
    PointData data{Ref::borrow(name), {}, true};
    std::size_t width = 1;
    if (!polling::is_bits(table)) {
        data.layout = value_layout(a[5], a[6]);
        width = data.layout.registers();
        if (width > modbus::kMaxReadRegisters) {
            PyErr_Format(PyExc_ValueError, "modbus: the format takes %zu registers, at most %zu can be read", width,
                         modbus::kMaxReadRegisters);
            raise();
        }
        data.one_value = data.layout.format.values == 1;
    }
    if (static_cast<std::size_t>(address) + width - 1 > modbus::kMaxAddress) {
        PyErr_Format(PyExc_ValueError, "Poller.add: a point of %zu registers at %lld runs past address 65535", width,
                     address);
        raise();
    }
    const double period = PyFloat_AS_DOUBLE(a[7]);  // converted by the parser
    if (!(period > 0) || !std::isfinite(period)) {
        PyErr_Format(PyExc_ValueError, "Poller.add: period must be a positive number of seconds: %R", a[7]);
        raise();
    }

    polling::Point point{static_cast<std::uint8_t>(station), table, static_cast<std::uint16_t>(address),
                         static_cast<std::uint16_t>(width), period};
    st->points.push_back(point);
    st->data.push_back(std::move(data));
    st->by_name.emplace(std::move(key), st->points.size() - 1);
    if (!st->schedule_of(period)) st->schedules.push_back({.period = period});
    st->figures[point.station];  // listed in stats from now on
    st->planned = false;
    return none();
}

// ---- plan -------------------------------------------------------------------------------------

Ref plan(Args& a) {
    Held st = state_of(a[0]);
    const std::vector<polling::Request> requests = st->current_plan();  // a copy: names are made below
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(requests.size())));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const polling::Request& r = requests[i];
        Ref names = own(PyList_New(static_cast<Py_ssize_t>(r.points.size())));
        for (std::size_t k = 0; k < r.points.size(); ++k)
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), Py_NewRef(st->data[r.points[k]].name.get()));
        Ref station = make_int(r.station), address = make_int(r.address), count = make_int(r.count);
        PyObject* row = PyTuple_Pack(5, station.get(), table_text(r.table), address.get(), count.get(), names.get());
        if (!row) raise();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
    }
    return list;
}

// ---- one request ------------------------------------------------------------------------------

// The master's answer to one request: the registers or bits it read, through its public members.
Ref read_request(PyObject* master, MasterKind kind, const polling::Request& r) {
    Ref address = make_int(r.address), count = make_int(r.count);
    PyObject* method = nullptr;
    switch (r.table) {
        case Table::Holding:
            method = BREL_STR("read_registers");
            break;
        case Table::Input:
            method = BREL_STR("read_input_registers");
            break;
        case Table::Coil:
            method = BREL_STR("read_coils");
            break;
        case Table::Discrete:
            method = BREL_STR("read_input_coils");
            break;
    }
    switch (kind) {
        case MasterKind::Stationed: {
            Ref station = make_int(r.station);
            return call_method(master, method, station.get(), address.get(), count.get());
        }
        case MasterKind::Tcp:
            return call_method(master, method, address.get(), count.get());
        case MasterKind::Fixed:
            break;
    }
    // FixMaster: input registers through read_registers with function code 4, discrete inputs
    // through its Master at its station.
    if (r.table == Table::Input) {
        Ref statics = global(BREL_STR("ModbusStatic"));
        Ref code = getattr(statics.get(), BREL_STR("FC_Read_Input_Registers"));
        return call_method(master, BREL_STR("read_registers"), address.get(), count.get(), code.get());
    }
    if (r.table == Table::Discrete) {
        Ref inner = getattr(master, BREL_STR("master"));
        Ref station = getattr(master, BREL_STR("station"));
        return call_method(inner.get(), method, station.get(), address.get(), count.get());
    }
    return call_method(master, method, address.get(), count.get());
}

[[noreturn]] void raise_short_answer(Py_ssize_t given, const polling::Request& r) {
    PyErr_Format(PyExc_ValueError, "Poller: the master answered %zd %s for %u asked", given,
                 polling::is_bits(r.table) ? "bits" : "registers", static_cast<unsigned>(r.count));
    raise();
}

// The values of the request's points, into `values`, from the master's answer.
void decode_request(const State& st, const polling::Request& r, PyObject* answer, PyObject* values) {
    if (polling::is_bits(r.table)) {
        Ref bits = own(PySequence_Fast(answer, "Poller: the master's answer is not a sequence"));
        if (PySequence_Fast_GET_SIZE(bits.get()) < r.count) raise_short_answer(PySequence_Fast_GET_SIZE(bits.get()), r);
        for (const std::size_t index : r.points) {
            const Py_ssize_t offset = st.points[index].address - r.address;
            if (offset >= PySequence_Fast_GET_SIZE(bits.get())) raise(PyExc_IndexError, "list index out of range");
            Ref bit = Ref::borrow(PySequence_Fast_GET_ITEM(bits.get(), offset));
            check(PyDict_SetItem(values, st.data[index].name.get(), bit.get()));
        }
        return;
    }
    const Py_ssize_t given = check_size(PyObject_Length(answer));
    if (given != r.count) raise_short_answer(given, r);
    const std::vector<std::uint16_t> words = register_words(answer, r.count);
    for (const std::size_t index : r.points) {
        const polling::Point p = st.points[index];  // a copy: the points may grow meanwhile
        const PointData& d = st.data[index];
        Ref decoded = decode_words(d.layout, words.data() + (p.address - r.address), p.width);
        Ref value = d.one_value ? Ref::borrow(PyList_GET_ITEM(decoded.get(), 0)) : decoded;
        check(PyDict_SetItem(values, d.name.get(), value.get()));
    }
}

enum class Failure : std::uint8_t { Timeout, Crc, Mismatch, Slave, Other };

// What kind of failure an exception of a master reports, from its class (errors.hpp).
Failure classify(PyObject* exc) noexcept {
    switch (failure_kind(exc)) {
        case FailureKind::Timeout:
            return Failure::Timeout;
        case FailureKind::Frame:
            return Failure::Crc;
        case FailureKind::Mismatch:
            return Failure::Mismatch;
        case FailureKind::Refusal:
            return Failure::Slave;
        default:
            return Failure::Other;
    }
}

// The Modbus exception code of a slave's refusal (0 when it has none that is an int).
long error_code_of(PyObject* exc) {
    Ref code = Ref::steal_or_null(PyObject_GetAttr(exc, BREL_STR("error_code")));
    const long v = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    PyErr_Clear();
    return v;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One request of a pass, and on a refusal its halves. The state is looked up by index after
// every call into the master, which may run any interpreter code.
void run_request(PyObject* master, State& st, const polling::Request& r, PyObject* values) {
    st.figures[r.station].requests += 1;
    const auto start = std::chrono::steady_clock::now();
    Ref exc;
    bool answered = false;
    try {
        Ref answer = read_request(master, st.kind, r);
        answered = true;
        st.figures[r.station].round_trips.add(since(start));
        decode_request(st, r, answer.get(), values);
        st.figures[r.station].answers += 1;
        return;
    } catch (const PyError&) {
        // KeyboardInterrupt, SystemExit and the like end the pass. The request is then neither
        // answered nor failed, so it is not counted: requests stay answers plus failures.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            st.figures[r.station].requests -= 1;
            throw;
        }
        exc = Ref::steal_or_null(PyErr_GetRaisedException());
    }
    Figures& f = st.figures[r.station];
    const Failure failure = answered ? Failure::Other : classify(exc.get());
    switch (failure) {
        case Failure::Timeout:
            f.timeouts += 1;
            break;
        case Failure::Crc:
            f.crc_errors += 1;
            break;
        case Failure::Mismatch:
            f.mismatches += 1;
            break;
        case Failure::Slave: {
            f.slave_exceptions += 1;
            f.round_trips.add(since(start));
            const long code = error_code_of(exc.get());
            if (code == 2 || code == 3) {
                if (const auto cut = polling::split_address(st.points, r)) {
                    st.cuts.push_back({r.station, r.table, r.period, *cut});
                    st.planned = false;
                    for (const polling::Request& half : polling::make_plan(st.points, r.points, st.cuts, st.gaps))
                        run_request(master, st, half, values);
                    return;
                }
            }
            break;
        }
        case Failure::Other:
            f.other_errors += 1;
            break;
    }
    for (const std::size_t index : r.points) check(PyDict_SetItem(values, st.data[index].name.get(), exc.get()));
}

// One pass at time `now`: every request whose period is due, then the schedules moved on.
Ref pass_at(PyObject* self, State& st, double now) {
    std::vector<double> due;
    for (const polling::Schedule& s : st.schedules)
        if (s.is_due(now)) due.push_back(s.period);
    std::vector<polling::Request> requests;
    for (const polling::Request& r : st.current_plan())
        if (std::find(due.begin(), due.end(), r.period) != due.end()) requests.push_back(r);
    Ref master = getattr(self, k_master());
    Ref values = own(PyDict_New());
    for (const polling::Request& r : requests) run_request(master.get(), st, r, values.get());
    for (const double period : due)
        if (polling::Schedule* s = st.schedule_of(period)) s->advance(now);
    return values;
}

Ref poll(Args& a) {
    PyObject* self = a[0];
    Held st = state_of(self);
    const double now = clock_now(self);
    return pass_at(self, *st.state, now);
}

// ---- run: the passes as an iterator ------------------------------------------------------------

// The earliest slot of any schedule (minus infinity before the first pass); false without points.
bool next_slot(const State& st, double& when) {
    if (st.schedules.empty()) return false;
    when = INFINITY;
    for (const polling::Schedule& s : st.schedules) when = std::min(when, s.started ? s.due : -INFINITY);
    return true;
}

struct Passes {
    PyObject ob_base;
    PyObject* poller;  // owned; null once the iterator is done
    double end;        // on the poller's clock; infinity without a duration
};

void passes_finish(Passes* it) { Py_CLEAR(it->poller); }

PyObject* passes_next(PyObject* obj) noexcept {
    auto* it = reinterpret_cast<Passes*>(obj);
    return guarded([&]() -> PyObject* {
        if (!it->poller) return nullptr;
        Ref self = Ref::borrow(it->poller);
        Held st = state_of(self.get());
        double slot = 0;
        {
            ObjectLock lock(self.get());
            if (!next_slot(*st.state, slot) || slot > it->end) {
                passes_finish(it);
                return nullptr;
            }
        }
        double now = clock_now(self.get());
        if (slot > now) {
            sleep_for(slot - now);
            now = std::max(clock_now(self.get()), slot);
            st = state_of(self.get());
        }
        ObjectLock lock(self.get());
        return pass_at(self.get(), *st.state, now).release();
    });
}

PyObject* passes_iter(PyObject* obj) noexcept { return Py_NewRef(obj); }

int passes_traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<Passes*>(obj)->poller);
    return 0;
}

int passes_clear(PyObject* obj) noexcept {
    passes_finish(reinterpret_cast<Passes*>(obj));
    return 0;
}

void passes_dealloc(PyObject* obj) noexcept {
    PyObject_GC_UnTrack(obj);
    passes_clear(obj);
    PyObject_GC_Del(obj);
}

PyTypeObject passes_type = [] {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "brel_modbus._PollerRun";
    t.tp_basicsize = sizeof(Passes);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The passes of Poller.run(): an iterator of dicts, name -> value.";
    t.tp_dealloc = passes_dealloc;
    t.tp_traverse = passes_traverse;
    t.tp_clear = passes_clear;
    t.tp_iter = passes_iter;
    t.tp_iternext = passes_next;
    return t;
}();

// run(duration=None)
Ref run(Args& a) {
    PyObject *self = a[0], *duration = a[1];
    state_of(self);  // a poller, before anything else
    double end = INFINITY;
    if (duration != Py_None) {
        const double seconds = PyFloat_AsDouble(duration);
        if (seconds == -1.0 && PyErr_Occurred()) raise();
        if (!(seconds >= 0) || std::isinf(seconds)) {
            PyErr_Format(PyExc_ValueError, "Poller.run: duration must be None or a number of seconds from 0: %R",
                         duration);
            raise();
        }
        end = clock_now(self) + seconds;
    }
    static bool ready = false;
    if (!ready) {
        check(PyType_Ready(&passes_type));
        ready = true;
    }
    auto* it = PyObject_GC_New(Passes, &passes_type);
    if (!it) raise();
    it->poller = Py_NewRef(self);
    it->end = end;
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

// ---- figures ----------------------------------------------------------------------------------

Ref optional_float(std::optional<double> v) { return v ? own(PyFloat_FromDouble(*v)) : none(); }

Ref stats(Args& a) {
    Held st = state_of(a[0]);
    Ref result = own(PyDict_New());
    for (const auto& [station, f] : st->figures) {
        Ref row = own(PyDict_New());
        const std::pair<const char*, unsigned long long> counts[] = {
            {"requests", f.requests},         {"answers", f.answers},       {"timeouts", f.timeouts},
            {"crc_errors", f.crc_errors},     {"mismatches", f.mismatches}, {"slave_exceptions", f.slave_exceptions},
            {"other_errors", f.other_errors},
        };
        for (const auto& [key, n] : counts) {
            Ref v = own(PyLong_FromUnsignedLongLong(n));
            check(PyDict_SetItemString(row.get(), key, v.get()));
        }
        check(PyDict_SetItemString(row.get(), "rtt_p50", optional_float(f.round_trips.percentile(50)).get()));
        check(PyDict_SetItemString(row.get(), "rtt_p99", optional_float(f.round_trips.percentile(99)).get()));
        Ref key = make_int(station);
        check(PyDict_SetItem(result.get(), key.get(), row.get()));
    }
    return result;
}

Ref get_master(Args& a) { return getattr(a[0], k_master()); }

// ---- documentation ---------------------------------------------------------------------------------

constexpr const char* class_doc =
    "Reads many points of many stations with few requests: points of one station, table and period "
    "are merged into one read while the gap between them is at most max_gap registers (max_bit_gap "
    "bits), within the Modbus limits.";
constexpr const char* add_doc =
    "Add a point: a value of `format` (registers) or one bit at `address` of `table` ('holding', "
    "'input', 'coil', 'discrete') of `station`, read every `period` seconds.";
constexpr const char* plan_doc = "The requests a pass sends: (station, table, address, count, [names]).";
constexpr const char* poll_doc =
    "One pass over every due request: name -> value, or the exception of the point's failed request.";
constexpr const char* run_doc =
    "An iterator of passes, each point at its own period, sleeping between them; stops after "
    "`duration` seconds (None: never).";

}  // namespace

// ---- member table ---------------------------------------------------------------------------------

const ClassSpec& poller_class() {
    static const ClassSpec poller{
        .name = "Poller",
        .doc = class_doc,
        .members = {
            method("__init__", init,
                   {{"master"},
                    {"max_gap", "int", int_default(16)},
                    {"max_bit_gap", "int", int_default(256)},
                    {"clock", nullptr, none_default}}),
            method("add", locked<add>,
                   {{"name", "str"},
                    {"station", "int"},
                    {"table", "str"},
                    {"address", "int"},
                    {"format", "str", str_default("H")},
                    {"order", "str", str_default("ABCD")},
                    {"period", "float", float_default(1.0)}},
                   "None", add_doc),
            method("plan", plan, {}, "list", plan_doc),
            method("poll", locked<poll>, {}, "dict", poll_doc),
            method("run", run, {{"duration", "float | None", none_default}}, nullptr, run_doc),
            property("stats", stats, "dict"),
            property("master", get_master),
        }};
    return poller;
}

}  // namespace brel
