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
// A request that fails gives its exception to each of its points. What a refusal teaches and
// what a failure costs its station is the walk of poller_learning.hpp, shared with AsyncPoller
// (poller_points.hpp holds the faces both pollers share). With max_gap="auto" the register gap
// follows the round trips (plan.hpp's ReadCosts).
//
// Threads: add() and a pass (poll(), each pass of run()) hold the poller's lock, so passes and
// changes take turns; run() lets it go while it sleeps. plan(), stats, learned and write() do
// not wait for a pass: they read the state as it stands (every change of the state is made with
// the interpreter lock held and no interpreter code run in between); a pass sends no request
// while a write() is under way.
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/poller_points.hpp"
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

namespace polling = modbus::polling;
using poller::make_int;
using poller::table_text;
using poller::utf8_of;
using polling::Table;

PyObject* k_master() { return BREL_STR("_Poller__master"); }
PyObject* k_clock() { return BREL_STR("_Poller__clock"); }
PyObject* k_state() { return BREL_STR("_Poller__state"); }
constexpr const char* kCapsuleName = "brel_modbus.Poller.state";

Ref none() { return Ref::borrow(Py_None); }

// ---- the state ---------------------------------------------------------------------------

using poller::MasterKind;

struct State {
    MasterKind kind = MasterKind::Stationed;
    poller::Book book;
    std::unordered_map<std::string, std::size_t> by_name;
    bool auto_gap = false;     // max_gap="auto": gaps.registers follows `costs`
    polling::ReadCosts costs;  // answered register reads, all stations: one line
    // Held by each write under way (write()), counted in `writes` while held: a pass sends no
    // request while one is. A mutex without a condition variable or try_lock, whose symbols
    // need a newer C++ runtime or C library than the wheels may assume; recursive, so that a
    // write made inside a write does not wait for itself.
    std::recursive_mutex write_gate;
    std::atomic<unsigned> writes{0};
};

const char* const kCapsule = kCapsuleName;
constexpr auto free_state = poller::free_state<State, &kCapsule>;
using Held = poller::Held<State>;

Held state_of(PyObject* self) { return poller::held_state<State>(self, k_state(), kCapsuleName, "Poller"); }

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

MasterKind kind_of(PyObject* master) {
    const auto kind = poller::kind_of(
        master,
        {{"Master", MasterKind::Stationed}, {"FixMaster", MasterKind::Fixed}, {"ModbusTCPMaster", MasterKind::Tcp}});
    if (kind) return *kind;
    PyErr_Format(PyExc_TypeError, "Poller: master must be a Master, FixMaster or ModbusTCPMaster, not %.200s",
                 Py_TYPE(master)->tp_name);
    raise();
}

// Poller(master, max_gap=16, max_bit_gap=256, clock=None, max_failures=3, max_backoff=60.0, learned=None)
Ref init(Args& a) {
    PyObject *self = a[0], *master = a[1], *clock = a[4];
    auto state = std::make_unique<State>();
    state->kind = kind_of(master);
    // with "auto", the default gap until reads of two sizes were measured
    state->auto_gap = poller::register_gap("Poller", a[2], state->book.gaps.registers);
    state->book.gaps.bits = poller::gap_value("Poller", a[3], "max_bit_gap");
    if (clock != Py_None && !PyCallable_Check(clock)) {
        PyErr_Format(PyExc_TypeError, "Poller: clock must be callable or None, not %.200s", Py_TYPE(clock)->tp_name);
        raise();
    }
    poller::set_unit_limits("Poller", state->book.learning, a[5], a[6]);
    poller::load_learned(state->book.learning, a[7]);
    Ref capsule = own(PyCapsule_New(state.get(), kCapsuleName, free_state));
    state.release();  // the capsule owns it now
    setattr(self, k_master(), master);
    setattr(self, k_clock(), clock);
    setattr(self, k_state(), capsule.get());
    return none();
}

// ---- add ----------------------------------------------------------------------------------------

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
    Ref master = getattr(self, k_master());
    poller::NewPoint point =
        poller::checked_point("Poller", &a.v[1], st->kind == MasterKind::Stationed ? nullptr : master.get());
    poller::take_point(st->book, std::move(point));
    st->by_name.emplace(std::move(key), st->book.points.size() - 1);
    return none();
}

// ---- plan -------------------------------------------------------------------------------------

// The learned cut at which a request starts: between the last point of its group below it and
// its first point.
std::optional<std::uint16_t> cut_before(const poller::Book& st, const polling::Request& r) {
    long below = -1;
    for (const polling::Point& p : st.points)
        if (p.station == r.station && p.table == r.table && p.period == r.period && p.address < r.address)
            below = std::max<long>(below, p.address);
    if (below < 0) return std::nullopt;
    std::optional<std::uint16_t> found;
    for (const polling::Cut& c : st.learning.cuts)
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
    const std::vector<polling::Request> requests = st->book.current_plan();  // a copy: names are made below
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(requests.size())));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const polling::Request& r = requests[i];
        Ref names = own(PyList_New(static_cast<Py_ssize_t>(r.points.size())));
        for (std::size_t k = 0; k < r.points.size(); ++k)
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), Py_NewRef(st->book.data[r.points[k]].name.get()));
        Ref station = make_int(r.station), address = make_int(r.address), count = make_int(r.count);
        PyObject* row = nullptr;
        if (with_learned) {
            Ref why = own(PyDict_New());
            const std::size_t most = st->book.learning.limits.most(r.station, r.table);
            Ref bound = most < polling::read_limit(r.table) ? make_int(static_cast<long long>(most)) : none();
            const auto cut = cut_before(st->book, r);
            Ref cut_at = cut ? make_int(*cut) : none();
            check(PyDict_SetItemString(why.get(), "max_block", bound.get()));
            check(PyDict_SetItemString(why.get(), "cut", cut_at.get()));
            Ref gap = make_int(static_cast<long long>(st->book.gaps.of(r.table)));
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

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---- one pass ------------------------------------------------------------------------------------

// Writes go before reads: while one is under way (in another thread), wait with the interpreter
// lock released until none is.
void let_writes_pass(State& st) {
    if (st.writes.load() == 0) return;
    PyThreadState* saved = PyEval_SaveThread();
    st.write_gate.lock();
    st.write_gate.unlock();
    PyEval_RestoreThread(saved);
}

// One request of a pass, through the master. The state is looked up again after every call
// into the master, which may run any interpreter code.
void send(PyObject* master, State& st, polling::PassWalk& walk, PyObject* values) {
    const polling::Request r = walk.sent();
    let_writes_pass(st);
    const auto start = std::chrono::steady_clock::now();
    Ref answer;
    try {
        answer = poller::read_request(master, st.kind, r);
    } catch (const PyError&) {
        // KeyboardInterrupt, SystemExit and the like end the pass. The request is then neither
        // answered nor failed, so it is not counted: requests stay answers plus failures.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            walk.abandoned();
            throw;
        }
        Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
        poller::take_failure(st.book, walk, exc.get(), since(start), values);
        return;
    }
    const double round_trip = since(start);
    if (!polling::is_bits(r.table)) st.costs.add(r.count, round_trip);
    poller::take_answer(st.book, walk, answer.get(), round_trip, values);
}

// One pass at time `now`: every request whose period is due, then the schedules moved on.
Ref pass_at(PyObject* self, State& st, double now) {
    poller::Book& book = st.book;
    std::vector<double> due;
    std::vector<polling::Request> requests = book.due_requests(now, due);
    Ref master = getattr(self, k_master());
    Ref values = own(PyDict_New());
    polling::PassWalk walk(book.points, book.learning, book.gaps, now, std::move(requests));
    while (const auto step = walk.next()) {
        if (step->what == polling::PassWalk::Step::Do::Skip)
            poller::take_skip(book, step->request, values.get());
        else
            send(master.get(), st, walk, values.get());
    }
    book.advance(due, now);
    if (st.auto_gap) poller::follow_costs(book, st.costs);
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
    const poller::PointWrite w = poller::point_write("Poller", st->book, found->second, name, value);
    Ref master = getattr(self, k_master());
    WriteUnderWay under_way(*st.state);
    poller::call_write(master.get(), st->kind, w);
    return none();
}

// ---- run: the passes as an iterator ------------------------------------------------------------

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
            if (!st->book.next_slot(slot) || slot > it->end) {
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
    const double seconds = poller::run_seconds("Poller", duration);
    const double end = std::isinf(seconds) ? INFINITY : clock_now(self) + seconds;
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

Ref stats(Args& a) {
    Held st = state_of(a[0]);
    return poller::stats_of(st->book);
}

Ref get_master(Args& a) { return getattr(a[0], k_master()); }

Ref learned(Args& a) {
    Held st = state_of(a[0]);
    return poller::learned_of(st->book.learning);
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
