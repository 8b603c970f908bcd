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
// A request that fails gives its exception to each of its points. A refusal as an illegal
// address (exception code 2), or as an illegal value (3) at a size that went through before,
// cuts the request in two (plan.hpp's split_address), the cut kept for good; a refusal with
// code 3 otherwise, or with code 2 when the parts then read every register, lowers the
// station's block bound for the table (plan.hpp's BlockLimits). Either way the points are read
// at once, within the pass. A failure of the link or the unit (time-out, CRC, mismatch, lost
// connection, gateway codes 10 and 11) is never split: it counts against the station (Unit),
// which after max_failures in a row is tried by one request per back-off only. With
// max_gap="auto" the register gap follows the round trips (plan.hpp's ReadCosts).
//
// Threads: add() and a pass (poll(), each pass of run()) hold the poller's lock, so passes and
// changes take turns; run() lets it go while it sleeps. plan(), stats, learned and write() do
// not wait for a pass: they read the state as it stands (every change of the state is made with
// the interpreter lock held and no interpreter code run in between); a pass sends no request
// while a write() is under way.
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/plan.hpp"
#include "modbus/protocol.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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

// Whether a station is answering. A failure of the link or of the unit (no answer in time, a
// CRC error, an answer that does not belong to its request, a broken connection, a gateway that
// cannot reach the unit) counts against it; max_failures of them in a row mark it down: its
// requests are then skipped, their points given the last failure, but for one request tried
// after each back-off, which doubles from the station's shortest period up to max_backoff.
// Any answer, a refusal included, marks it up again.
struct Unit {
    unsigned long long failures = 0;  // in a row
    bool down = false;
    bool has_success = false;
    double last_success = 0;  // on the poller's clock: the last request answered with values
    double backoff = 0;       // while down
    double retry_at = 0;      // while down: when one request is tried again
    Ref last_error;
};

struct Figures {
    unsigned long long requests = 0, answers = 0, timeouts = 0, crc_errors = 0, mismatches = 0, slave_exceptions = 0,
                       other_errors = 0;
    polling::RoundTrips round_trips;
    Unit unit;
};

struct State {
    MasterKind kind = MasterKind::Stationed;
    polling::Gaps gaps;
    std::vector<polling::Point> points;
    std::deque<PointData> data;  // beside points, same index; never moves what it holds
    std::unordered_map<std::string, std::size_t> by_name;
    std::vector<polling::Cut> cuts;
    polling::BlockLimits limits;
    bool auto_gap = false;     // max_gap="auto": gaps.registers follows `costs`
    polling::ReadCosts costs;  // answered register reads, all stations: one line
    unsigned long long max_failures = 3;
    double max_backoff = 60.0;
    std::vector<polling::Request> plan;
    bool planned = false;
    std::vector<polling::Schedule> schedules;  // one per period
    std::map<std::uint8_t, Figures> figures;   // one per station with points
    // Held by each write under way (write()), counted in `writes` while held: a pass sends no
    // request while one is. A mutex without a condition variable or try_lock, whose symbols
    // need a newer C++ runtime or C library than the wheels may assume; recursive, so that a
    // write made inside a write does not wait for itself.
    std::recursive_mutex write_gate;
    std::atomic<unsigned> writes{0};

    const std::vector<polling::Request>& current_plan() {
        if (!planned) {
            plan = polling::make_plan(points, cuts, gaps, limits);
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

// ---- what was learned ------------------------------------------------------------------------

PyObject* table_text(Table t);

// An int of `learned` within low..high, else ValueError naming where it was found.
long long learned_int(PyObject* value, long long low, long long high, const char* where, PyObject* station,
                      PyObject* table) {
    long long v = -1;
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) raise();
        if (overflow) v = low - 1;
    } else {
        v = low - 1;
    }
    if (v < low || v > high) {
        PyErr_Format(PyExc_ValueError, "Poller: learned[%R][%R] %s must be an int from %lld to %lld: %R", station,
                     table, where, low, high, value);
        raise();
    }
    return v;
}

// Poller(..., learned=...): what an earlier poller learned (its `learned`, through JSON or not).
// Every entry is checked before any is taken.
void load_learned(State& st, PyObject* learned) {
    if (learned == Py_None) return;
    if (!PyDict_Check(learned)) {
        PyErr_Format(PyExc_TypeError, "Poller: learned must be a dict (as Poller.learned gives) or None, not %.200s",
                     Py_TYPE(learned)->tp_name);
        raise();
    }
    std::vector<polling::Cut> cuts;
    polling::BlockLimits limits;
    Py_ssize_t pos = 0;
    PyObject *station_key = nullptr, *tables = nullptr;
    while (PyDict_Next(learned, &pos, &station_key, &tables)) {
        Ref number = PyUnicode_Check(station_key)
                         ? Ref::steal_or_null(PyLong_FromUnicodeObject(station_key, 10))
                         : Ref::borrow(PyLong_Check(station_key) && !PyBool_Check(station_key) ? station_key : nullptr);
        PyErr_Clear();
        const long long station = number ? PyLong_AsLongLong(number.get()) : -1;
        PyErr_Clear();
        if (station < 0 || station > 255) {
            PyErr_Format(PyExc_ValueError, "Poller: learned: %R is not a station (0 to 255)", station_key);
            raise();
        }
        if (!PyDict_Check(tables)) {
            PyErr_Format(PyExc_TypeError, "Poller: learned[%R] must be a dict of tables, not %.200s", station_key,
                         Py_TYPE(tables)->tp_name);
            raise();
        }
        Py_ssize_t tpos = 0;
        PyObject *table_key = nullptr, *entry = nullptr;
        while (PyDict_Next(tables, &tpos, &table_key, &entry)) {
            std::optional<Table> table;
            for (const Table t : {Table::Holding, Table::Input, Table::Coil, Table::Discrete})
                if (PyUnicode_Check(table_key) && PyUnicode_Compare(table_key, table_text(t)) == 0) table = t;
            if (!table) {
                PyErr_Format(PyExc_ValueError,
                             "Poller: learned[%R]: %R is not 'holding', 'input', 'coil' or 'discrete'", station_key,
                             table_key);
                raise();
            }
            if (!PyDict_Check(entry)) {
                PyErr_Format(PyExc_TypeError, "Poller: learned[%R][%R] must be a dict, not %.200s", station_key,
                             table_key, Py_TYPE(entry)->tp_name);
                raise();
            }
            const auto s8 = static_cast<std::uint8_t>(station);
            const long long top = static_cast<long long>(polling::read_limit(*table));
            if (PyObject* list = PyDict_GetItemString(entry, "cuts")) {
                if (!PyList_Check(list)) {
                    PyErr_Format(PyExc_TypeError, "Poller: learned[%R][%R] cuts must be a list, not %.200s",
                                 station_key, table_key, Py_TYPE(list)->tp_name);
                    raise();
                }
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                    const long long at =
                        learned_int(PyList_GET_ITEM(list, i), 1, modbus::kMaxAddress, "cuts", station_key, table_key);
                    cuts.push_back({s8, *table, 0, static_cast<std::uint16_t>(at)});
                }
            }
            if (PyObject* read = PyDict_GetItemString(entry, "largest_read"); read && read != Py_None)
                limits.answered(
                    s8, *table,
                    static_cast<std::size_t>(learned_int(read, 0, top, "largest_read", station_key, table_key)));
            if (PyObject* refused = PyDict_GetItemString(entry, "smallest_refused"); refused && refused != Py_None)
                limits.set_refused(
                    s8, *table,
                    static_cast<std::size_t>(learned_int(refused, 2, top, "smallest_refused", station_key, table_key)));
        }
    }
    st.cuts = std::move(cuts);
    st.limits = std::move(limits);
}

// {"<station>": {"<table>": {"cuts": [...], "max_block": n | None, "largest_read": n,
// "smallest_refused": n | None}}}: the tables with a cut or a bound, all keys str, so that it
// goes through JSON and back unchanged.
Ref learned_of(const State& st) {
    std::map<std::pair<std::uint8_t, Table>, std::vector<long>> cuts;
    std::map<std::pair<std::uint8_t, Table>, polling::BlockLimit> bounds;
    for (const polling::Cut& c : st.cuts) cuts[{c.station, c.table}].push_back(c.address);
    for (const polling::BlockLimit& row : st.limits.rows())
        if (row.refused) {
            bounds[{row.station, row.table}] = row;
            cuts[{row.station, row.table}];
        }
    Ref result = own(PyDict_New());
    for (auto& [key, addresses] : cuts) {
        const auto [station, table] = key;
        Ref station_key = own(PyUnicode_FromFormat("%u", static_cast<unsigned>(station)));
        Ref tables = Ref::borrow(PyDict_GetItemWithError(result.get(), station_key.get()));
        if (!tables) {
            if (PyErr_Occurred()) raise();
            tables = own(PyDict_New());
            check(PyDict_SetItem(result.get(), station_key.get(), tables.get()));
        }
        std::sort(addresses.begin(), addresses.end());
        addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
        Ref list = own(PyList_New(static_cast<Py_ssize_t>(addresses.size())));
        for (std::size_t i = 0; i < addresses.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_int(addresses[i]).release());
        Ref entry = own(PyDict_New());
        check(PyDict_SetItemString(entry.get(), "cuts", list.get()));
        const auto bound = bounds.find(key);
        const bool has = bound != bounds.end();
        Ref most = has ? make_int(static_cast<long long>(bound->second.most())) : none();
        Ref read = make_int(has ? bound->second.answered : 0);
        Ref refused = has ? make_int(bound->second.refused) : none();
        check(PyDict_SetItemString(entry.get(), "max_block", most.get()));
        check(PyDict_SetItemString(entry.get(), "largest_read", read.get()));
        check(PyDict_SetItemString(entry.get(), "smallest_refused", refused.get()));
        check(PyDict_SetItem(tables.get(), table_text(table), entry.get()));
    }
    return result;
}

// Poller(master, max_gap=16, max_bit_gap=256, clock=None, max_failures=3, max_backoff=60.0, learned=None)
Ref init(Args& a) {
    PyObject *self = a[0], *master = a[1], *clock = a[4];
    auto state = std::make_unique<State>();
    state->kind = kind_of(master);
    if (PyUnicode_Check(a[2])) {
        if (PyUnicode_CompareWithASCIIString(a[2], "auto") != 0) {
            PyErr_Format(PyExc_ValueError, "Poller: max_gap must be a number of registers or 'auto': %R", a[2]);
            raise();
        }
        state->auto_gap = true;  // the default gap until reads of two sizes were measured
    } else if (PyLong_Check(a[2])) {
        state->gaps.registers = gap_value(a[2], "max_gap");
    } else {
        PyErr_Format(PyExc_TypeError, "Argument 'max_gap' has incorrect type (expected int or 'auto', got %.200s)",
                     Py_TYPE(a[2])->tp_name);
        raise();
    }
    state->gaps.bits = gap_value(a[3], "max_bit_gap");
    if (clock != Py_None && !PyCallable_Check(clock)) {
        PyErr_Format(PyExc_TypeError, "Poller: clock must be callable or None, not %.200s", Py_TYPE(clock)->tp_name);
        raise();
    }
    int overflow = 0;
    const long long max_failures = PyLong_AsLongLongAndOverflow(a[5], &overflow);
    if (max_failures == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && max_failures < 1)) {
        PyErr_Format(PyExc_ValueError, "Poller: max_failures must be at least 1: %S", a[5]);
        raise();
    }
    state->max_failures = overflow ? ~0ULL : static_cast<unsigned long long>(max_failures);
    state->max_backoff = PyFloat_AS_DOUBLE(a[6]);  // converted by the parser
    if (!(state->max_backoff > 0) || !std::isfinite(state->max_backoff)) {
        PyErr_Format(PyExc_ValueError, "Poller: max_backoff must be a positive number of seconds: %R", a[6]);
        raise();
    }
    load_learned(*state, a[7]);
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

// The learned cut at which a request starts: between the last point of its group below it and
// its first point.
std::optional<std::uint16_t> cut_before(const State& st, const polling::Request& r) {
    long below = -1;
    for (const polling::Point& p : st.points)
        if (p.station == r.station && p.table == r.table && p.period == r.period && p.address < r.address)
            below = std::max<long>(below, p.address);
    if (below < 0) return std::nullopt;
    std::optional<std::uint16_t> found;
    for (const polling::Cut& c : st.cuts)
        if (c.station == r.station && c.table == r.table && (c.period == r.period || c.period == 0) &&
            c.address > below && c.address <= r.address)
            found = c.address;
    return found;
}

// plan(learned=False); with learned, each request also gets {"max_block": the learned bound of
// its table or None, "cut": the learned cut it starts at or None}.
Ref plan(Args& a) {
    Held st = state_of(a[0]);
    const bool with_learned = check(PyObject_IsTrue(a[1])) != 0;
    const std::vector<polling::Request> requests = st->current_plan();  // a copy: names are made below
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(requests.size())));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const polling::Request& r = requests[i];
        Ref names = own(PyList_New(static_cast<Py_ssize_t>(r.points.size())));
        for (std::size_t k = 0; k < r.points.size(); ++k)
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), Py_NewRef(st->data[r.points[k]].name.get()));
        Ref station = make_int(r.station), address = make_int(r.address), count = make_int(r.count);
        PyObject* row = nullptr;
        if (with_learned) {
            Ref why = own(PyDict_New());
            const std::size_t most = st->limits.most(r.station, r.table);
            Ref bound = most < polling::read_limit(r.table) ? make_int(static_cast<long long>(most)) : none();
            const auto cut = cut_before(*st.state, r);
            Ref cut_at = cut ? make_int(*cut) : none();
            check(PyDict_SetItemString(why.get(), "max_block", bound.get()));
            check(PyDict_SetItemString(why.get(), "cut", cut_at.get()));
            Ref gap = make_int(static_cast<long long>(st->gaps.of(r.table)));
            check(PyDict_SetItemString(why.get(), "max_gap", gap.get()));
            row =
                PyTuple_Pack(6, station.get(), table_text(r.table), address.get(), count.get(), names.get(), why.get());
        } else {
            row = PyTuple_Pack(5, station.get(), table_text(r.table), address.get(), count.get(), names.get());
        }
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

// ---- one pass ------------------------------------------------------------------------------------

struct Pass {
    PyObject* master;
    State& st;
    PyObject* values;
    double now;  // when the pass began, on the poller's clock
};

// What became of a request, and of the parts it was read in.
enum class Outcome : std::uint8_t {
    Read,    // every point got its value
    Failed,  // some points got a failure of the link or the unit
    Hole,    // some points lie in a hole: refused on their own, or refused until a cut was kept
};
Outcome worse(Outcome a, Outcome b) { return std::max(a, b); }

void give_points(const Pass& pass, const polling::Request& r, PyObject* exc) {
    for (const std::size_t index : r.points) check(PyDict_SetItem(pass.values, pass.st.data[index].name.get(), exc));
}

double shortest_period(const State& st, std::uint8_t station) {
    double shortest = INFINITY;
    for (const polling::Point& p : st.points)
        if (p.station == station) shortest = std::min(shortest, p.period);
    return shortest;
}

void unit_answered(Unit& unit, double now, bool with_values) {
    unit.failures = 0;
    unit.down = false;
    unit.last_error = nullptr;
    if (with_values) {
        unit.has_success = true;
        unit.last_success = now;
    }
}

void unit_failed(const Pass& pass, std::uint8_t station, PyObject* exc) {
    Unit& unit = pass.st.figures[station].unit;
    unit.failures += 1;
    unit.last_error = Ref::borrow(exc);
    if (unit.down) {
        unit.backoff = std::min(2 * unit.backoff, pass.st.max_backoff);
    } else if (unit.failures >= pass.st.max_failures) {
        unit.down = true;
        unit.backoff = std::min(shortest_period(pass.st, station), pass.st.max_backoff);
    } else {
        return;
    }
    unit.retry_at = pass.now + unit.backoff;
}

Outcome run_request(const Pass& pass, const polling::Request& r);

// Writes go before reads: while one is under way (in another thread), wait with the interpreter
// lock released until none is.
void let_writes_pass(State& st) {
    if (st.writes.load() == 0) return;
    PyThreadState* saved = PyEval_SaveThread();
    st.write_gate.lock();
    st.write_gate.unlock();
    PyEval_RestoreThread(saved);
}

// The points of `subset`, planned as the state now stands, and read.
Outcome read_points(const Pass& pass, const std::vector<std::size_t>& subset) {
    State& st = pass.st;
    Outcome outcome = Outcome::Read;
    for (const polling::Request& part : polling::make_plan(st.points, subset, st.cuts, st.gaps, st.limits))
        outcome = worse(outcome, run_request(pass, part));
    return outcome;
}

// A refusal as an illegal address or value of a request that can be cut: with code 3, or with
// code 2 when every register was then read in parts, a bound on the size is learned; otherwise
// the request is cut in two for good. Either way its points are read at once.
Outcome refused(const Pass& pass, const polling::Request& r, long code, std::uint16_t cut_at) {
    State& st = pass.st;
    st.planned = false;
    if (code == 3 && st.limits.refused(r.station, r.table, r.count)) return read_points(pass, r.points);
    const polling::Cut cut{r.station, r.table, r.period, cut_at};
    st.cuts.push_back(cut);
    const std::vector<polling::Request> parts = polling::make_plan(st.points, r.points, st.cuts, st.gaps, st.limits);
    Outcome outcome = Outcome::Read;
    for (const polling::Request& part : parts) outcome = worse(outcome, run_request(pass, part));
    if (code == 2 && outcome == Outcome::Read && polling::covers(parts, r) &&
        st.limits.refused(r.station, r.table, r.count)) {
        // Every register was read: the refusal was of the size, the cut is not needed.
        const auto same = [&](const polling::Cut& c) {
            return c.station == cut.station && c.table == cut.table && c.period == cut.period &&
                   c.address == cut.address;
        };
        if (const auto it = std::find_if(st.cuts.rbegin(), st.cuts.rend(), same); it != st.cuts.rend())
            st.cuts.erase(std::next(it).base());
        return Outcome::Read;
    }
    return Outcome::Hole;
}

// One request of a pass, and on a refusal its parts. The state is looked up again after every
// call into the master, which may run any interpreter code.
Outcome run_request(const Pass& pass, const polling::Request& r) {
    State& st = pass.st;
    // planned before a smaller bound was learned in this pass: planned again within it
    if (r.points.size() > 1 && r.count > st.limits.most(r.station, r.table)) return read_points(pass, r.points);
    if (Unit& unit = st.figures[r.station].unit; unit.down) {
        if (pass.now < unit.retry_at) {
            give_points(pass, r, unit.last_error.get());
            return Outcome::Failed;
        }
        unit.retry_at = INFINITY;  // this request is the one try until it ends
    }
    let_writes_pass(st);
    st.figures[r.station].requests += 1;
    const auto start = std::chrono::steady_clock::now();
    Ref exc;
    bool answered = false;
    try {
        Ref answer = read_request(pass.master, st.kind, r);
        answered = true;
        const double round_trip = since(start);
        st.figures[r.station].round_trips.add(round_trip);
        if (!polling::is_bits(r.table)) st.costs.add(r.count, round_trip);
        decode_request(st, r, answer.get(), pass.values);
        st.figures[r.station].answers += 1;
        st.limits.answered(r.station, r.table, r.count);
        unit_answered(st.figures[r.station].unit, pass.now, true);
        return Outcome::Read;
    } catch (const PyError&) {
        // KeyboardInterrupt, SystemExit and the like end the pass. The request is then neither
        // answered nor failed, so it is not counted: requests stay answers plus failures.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            st.figures[r.station].requests -= 1;
            if (Unit& unit = st.figures[r.station].unit; unit.down) unit.retry_at = pass.now;
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
            // Gateway path unavailable, gateway target failed to respond: the unit is not there.
            if (code == 10 || code == 11) break;
            unit_answered(f.unit, pass.now, false);
            if (code == 2 || code == 3) {
                if (const auto cut = polling::split_address(st.points, r)) return refused(pass, r, code, *cut);
                give_points(pass, r, exc.get());
                return Outcome::Hole;
            }
            give_points(pass, r, exc.get());
            return Outcome::Failed;
        }
        case Failure::Other:
            f.other_errors += 1;
            break;
    }
    unit_failed(pass, r.station, exc.get());
    give_points(pass, r, exc.get());
    return Outcome::Failed;
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
    const Pass pass{master.get(), st, values.get(), now};
    for (const polling::Request& r : requests) run_request(pass, r);
    for (const double period : due)
        if (polling::Schedule* s = st.schedule_of(period)) s->advance(now);
    if (st.auto_gap)
        if (const auto gap = st.costs.gap(); gap && polling::gap_moved(st.gaps.registers, *gap)) {
            st.gaps.registers = *gap;
            st.planned = false;
        }
    return values;
}

Ref poll(Args& a) {
    PyObject* self = a[0];
    Held st = state_of(self);
    const double now = clock_now(self);
    return pass_at(self, *st.state, now);
}

// ---- write ------------------------------------------------------------------------------------

// Counts a write as under way for as long as it lives.
class WriteUnderWay {
public:
    // Waits, with the interpreter lock released, for a pass that is between its check and
    // its unlock, or for another thread's write.
    explicit WriteUnderWay(State& st) : st_(st) {
        PyThreadState* saved = PyEval_SaveThread();
        st_.write_gate.lock();
        PyEval_RestoreThread(saved);
        ++st_.writes;
    }
    ~WriteUnderWay() {
        --st_.writes;
        st_.write_gate.unlock();
    }
    WriteUnderWay(const WriteUnderWay&) = delete;
    WriteUnderWay& operator=(const WriteUnderWay&) = delete;

private:
    State& st_;
};

// write(name, value): the point's registers (its format and order) with function code 16, or its
// coil with function code 5, through the master's write_registers or write_coil; before any
// request of a pass under way. Does not take the poller's lock, so that it need not wait for a pass.
Ref write(Args& a) {
    PyObject *self = a[0], *name = a[1], *value = a[2];
    Held st = state_of(self);
    const auto found = st->by_name.find(utf8_of(name));
    if (found == st->by_name.end()) {
        PyErr_Format(PyExc_KeyError, "Poller.write: no point is named %R", name);
        raise();
    }
    const std::size_t index = found->second;
    const polling::Point point = st->points[index];
    if (point.table == Table::Input || point.table == Table::Discrete) {
        PyErr_Format(PyExc_ValueError, "Poller.write: %R is %s, which cannot be written", name,
                     point.table == Table::Input ? "an input register" : "a discrete input");
        raise();
    }
    Ref master = getattr(self, k_master());
    Ref address = make_int(point.address);
    Ref payload;  // the registers, or the coil's value
    PyObject* method = BREL_STR("write_coil");
    if (point.table == Table::Holding) {
        const PointData& d = st->data[index];
        if (point.width > modbus::kMaxWriteRegisters) {
            PyErr_Format(PyExc_ValueError, "Poller.write: %R takes %u registers, at most %zu can be written", name,
                         static_cast<unsigned>(point.width), modbus::kMaxWriteRegisters);
            raise();
        }
        Ref values = d.one_value ? own(PyList_New(1)) : Ref::borrow(value);
        if (d.one_value) PyList_SET_ITEM(values.get(), 0, Py_NewRef(value));
        const std::vector<std::uint16_t> words = encode_to_words(d.layout, values.get());
        payload = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
        for (std::size_t i = 0; i < words.size(); ++i)
            PyList_SET_ITEM(payload.get(), static_cast<Py_ssize_t>(i), make_int(words[i]).release());
        method = BREL_STR("write_registers");
    } else {
        payload = Ref::borrow(value);
    }
    WriteUnderWay under_way(*st.state);
    if (st->kind == MasterKind::Stationed) {
        Ref station = make_int(point.station);
        call_method(master.get(), method, station.get(), address.get(), payload.get());
    } else {
        call_method(master.get(), method, address.get(), payload.get());
    }
    return none();
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
        const Unit& unit = f.unit;
        check(PyDict_SetItemString(row.get(), "state", unit.down ? BREL_STR("down") : BREL_STR("up")));
        Ref failures = own(PyLong_FromUnsignedLongLong(unit.failures));
        check(PyDict_SetItemString(row.get(), "failures", failures.get()));
        const auto last = unit.has_success ? std::optional<double>(unit.last_success) : std::nullopt;
        check(PyDict_SetItemString(row.get(), "last_success", optional_float(last).get()));
        const auto backoff = unit.down ? std::optional<double>(unit.backoff) : std::nullopt;
        check(PyDict_SetItemString(row.get(), "backoff", optional_float(backoff).get()));
        Ref gap = make_int(static_cast<long long>(st->gaps.registers));
        check(PyDict_SetItemString(row.get(), "max_gap", gap.get()));
        Ref key = make_int(station);
        check(PyDict_SetItem(result.get(), key.get(), row.get()));
    }
    return result;
}

Ref get_master(Args& a) { return getattr(a[0], k_master()); }

Ref learned(Args& a) {
    Held st = state_of(a[0]);
    return learned_of(*st.state);
}

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
                    {"max_gap", "int | str", int_default(16)},
                    {"max_bit_gap", "int", int_default(256)},
                    {"clock", nullptr, none_default},
                    {"max_failures", "int", int_default(3)},
                    {"max_backoff", "float", float_default(60.0)},
                    {"learned", "dict | None", none_default}}),
            method("add", locked<add>,
                   {{"name", "str"},
                    {"station", "int"},
                    {"table", "str"},
                    {"address", "int"},
                    {"format", "str", str_default("H")},
                    {"order", "str", str_default("ABCD")},
                    {"period", "float", float_default(1.0)}},
                   "None", add_doc),
            method("plan", plan, {{"learned", "bool", bool_default(false)}}, "list", plan_doc),
            method("poll", locked<poll>, {}, "dict", poll_doc),
            method("run", run, {{"duration", "float | None", none_default}}, nullptr, run_doc),
            property("stats", stats, "dict"),
            property("master", get_master),
            method("write", write, {{"name", "str"}, {"value"}}, "None"),
            property("learned", learned, "dict"),
        }};
    return poller;
}

}  // namespace brel
