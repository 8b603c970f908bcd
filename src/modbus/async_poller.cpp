// AsyncPoller: the points of many asyncio masters read at once, each master by its own passes.
//
// Each master has a Book (poller_points.hpp: its points, what was learned of its stations, its
// schedules) and at most one pass under way: a PassWalk (poller_learning.hpp) whose requests go
// out one at a time through the master's public read members; the done callback of each
// request's future tells the walk how it ended and sends the next. The masters' passes run side
// by side on the event loop, so a station that does not answer costs only its own master its
// time-outs, and once it is down only one request per back-off. The state is a capsule in the
// instance's __dict__ ("_AsyncPoller__state"); every callback holds it.
//
// poll() starts a pass over every master and settles one future with all their values. run()
// is an async iterator: each master's passes follow its own schedules (the loop's clock), and
// each pass that ends is one reading. Cancelling what waits (the poll future, or the step of
// the iteration) cancels the requests under way and ends the passes; their stations are not
// counted against.
//
// Round trips are timed on the loop's clock. With max_gap="auto" each master's register gap
// follows its own round trips (plan.hpp's ReadCosts), as Poller's does. What was learned is one
// Poller-shaped dict per master, in the order the masters were first added.
#include "modbus/classes.hpp"
#include "modbus/poller_points.hpp"
#include "module/counted.hpp"
#include "module/runtime.hpp"

#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace brel {
namespace {

namespace polling = modbus::polling;
using poller::MasterKind;

constexpr const char* kCapsuleName = "brel_modbus.AsyncPoller.state";
PyObject* k_state() { return BREL_STR("_AsyncPoller__state"); }

Ref none() { return Ref::borrow(Py_None); }

// ---- the state ---------------------------------------------------------------------------

// What waits for the passes that poll() started: one future, one dict for them all.
struct PollWaiter {
    Ref future;
    Ref values;
    std::size_t pending = 0;
};

struct Link {
    Ref master;
    MasterKind kind = MasterKind::Stationed;
    poller::Book book;
    // The pass under way, if any.
    std::unique_ptr<polling::PassWalk> walk;
    std::vector<double> due;
    double now = 0;
    Ref values;
    Ref loop;       // of the pass under way: its clock times the round trips
    Ref in_flight;  // the future of the request on its way
    double sent_at = 0;
    polling::ReadCosts costs;        // answered register reads, for max_gap="auto"
    unsigned long long pass_id = 0;  // moves on when a pass ends or is dropped
    Counted<PollWaiter> poll;
    // run(): the timer of the next pass, and whether this master has passes left.
    Ref timer;
    bool finished = false;
};

struct RunState {
    Ref loop;
    double end = INFINITY;
    bool started = false;
    bool stopped = false;
    std::deque<Ref> ready;  // readings not yet taken
    Ref waiter;             // the future of the step that waits for one
};

struct State {
    polling::Gaps gaps;
    bool auto_gap = false;
    std::vector<polling::Learning> learned;  // given to the constructor: one per master to come
    unsigned long long max_failures = 3;
    double max_backoff = 60.0;
    std::vector<std::unique_ptr<Link>> links;  // in the order their masters were first added
    std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> by_name;  // -> link, point
    Counted<RunState> run;
    PyObject* capsule = nullptr;  // borrowed: the capsule that owns this state, for the callbacks
};

const char* const kCapsule = kCapsuleName;
constexpr auto free_state = poller::free_state<State, &kCapsule>;
using Held = poller::Held<State>;

Held state_of(PyObject* self) { return poller::held_state<State>(self, k_state(), kCapsuleName, "AsyncPoller"); }

Ref running_loop() {
    Ref asyncio = own(PyImport_ImportModule("asyncio"));
    return call_method(asyncio.get(), BREL_STR("get_running_loop"));
}

double loop_time(PyObject* loop) {
    Ref t = call_method(loop, BREL_STR("time"));
    const double v = PyFloat_AsDouble(t.get());
    if (v == -1.0 && PyErr_Occurred()) raise();
    return v;
}

bool future_done(PyObject* future) { return call_method(future, BREL_STR("done")).get() == Py_True; }

// ---- callbacks ---------------------------------------------------------------------------

// A callable of the loop that calls `body(state, link index, pass_id, argument)`: it holds
// the state's capsule, so the state lives while the loop may still call it.
using Body = void (*)(State&, std::size_t, unsigned long long, PyObject*);

struct CallbackData {
    Body body;
    std::size_t link;
    unsigned long long pass_id;
};

void fail_all(State& st);

PyObject* callback_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* argument = nargs > 0 ? args[0] : Py_None;  // a future's callback gets it; a timer's nothing
    return guarded([&]() -> PyObject* {
        PyObject* capsule = PyTuple_GET_ITEM(self, 0);
        auto* state = static_cast<State*>(PyCapsule_GetPointer(capsule, kCapsuleName));
        const auto* data = static_cast<const CallbackData*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(self, 1), nullptr));
        if (!state || !data) raise();
        try {
            data->body(*state, data->link, data->pass_id, argument);
        } catch (const PyError&) {
            fail_all(*state);
        }
        return none().release();
    });
}

PyMethodDef callback_def = {"_async_poller_step",
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback_call)), METH_FASTCALL,
                            nullptr};

void free_data(PyObject* capsule) noexcept {
    delete static_cast<CallbackData*>(PyCapsule_GetPointer(capsule, nullptr));
}

Ref callback(const State& st, Body body, std::size_t link, unsigned long long pass_id) {
    PyObject* capsule = st.capsule;
    auto data = std::make_unique<CallbackData>(CallbackData{body, link, pass_id});
    Ref data_capsule = own(PyCapsule_New(data.get(), nullptr, free_data));
    data.release();
    Ref self = own(PyTuple_Pack(2, capsule, data_capsule.get()));
    return own(PyCFunction_New(&callback_def, self.get()));
}

// ---- one pass of one master --------------------------------------------------------------

void pump(State& st, std::size_t index);
void pass_ended(State& st, std::size_t index);

void start_pass(State& st, std::size_t index, PyObject* loop, double now) {
    Link& link = *st.links[index];
    link.loop = Ref::borrow(loop);
    link.now = now;
    link.values = own(PyDict_New());
    std::vector<polling::Request> requests = link.book.due_requests(now, link.due);
    link.walk = std::make_unique<polling::PassWalk>(link.book.points, link.book.learning, link.book.gaps, now,
                                                    std::move(requests));
    pump(st, index);
}

// How the request on its way ended: `future` done.
void request_done(State& st, std::size_t index, unsigned long long pass_id, PyObject* future) {
    Link& link = *st.links[index];
    if (pass_id != link.pass_id || link.in_flight.get() != future) return;  // a pass dropped meanwhile
    link.in_flight = Ref();
    const double round_trip = loop_time(link.loop.get()) - link.sent_at;
    if (call_method(future, BREL_STR("cancelled")).get() == Py_True) {
        // cancelled by someone else than the poller: neither answered nor failed
        link.walk->abandoned();
        pass_ended(st, index);
        return;
    }
    Ref exc = call_method(future, BREL_STR("exception"));
    if (exc.get() == Py_None) {
        Ref answer = call_method(future, BREL_STR("result"));
        if (const polling::Request& r = link.walk->sent(); !polling::is_bits(r.table))
            link.costs.add(r.count, round_trip);
        poller::take_answer(link.book, *link.walk, answer.get(), round_trip, link.values.get());
    } else if (PyObject_IsInstance(exc.get(), PyExc_Exception) == 1) {
        poller::take_failure(link.book, *link.walk, exc.get(), round_trip, link.values.get());
    } else {
        link.walk->abandoned();
        pass_ended(st, index);
        return;
    }
    pump(st, index);
}

// Sends the walk's next request, or ends the pass when there is none.
void pump(State& st, std::size_t index) {
    Link& link = *st.links[index];
    while (const auto step = link.walk->next()) {
        if (step->what == polling::PassWalk::Step::Do::Skip) {
            poller::take_skip(link.book, step->request, link.values.get());
            continue;
        }
        link.sent_at = loop_time(link.loop.get());
        Ref future;
        try {
            future = poller::read_request(link.master.get(), link.kind, step->request);
        } catch (const PyError&) {
            // KeyboardInterrupt and the like end the pass; the request never went
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                link.walk->abandoned();
                throw;
            }
            Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
            poller::take_failure(link.book, *link.walk, exc.get(), 0.0, link.values.get());
            continue;
        }
        link.in_flight = future;
        Ref done = callback(st, request_done, index, link.pass_id);
        call_method(future.get(), BREL_STR("add_done_callback"), done.get());
        return;
    }
    link.book.advance(link.due, link.now);
    if (st.auto_gap) poller::follow_costs(link.book, link.costs);
    pass_ended(st, index);
}

// Drops the pass under way (its request cancelled): nothing of it is counted.
void drop_pass(Link& link) {
    if (!link.walk) {
        link.poll.reset();
        return;
    }
    if (link.in_flight) {
        link.walk->abandoned();
        Ref future = link.in_flight;
        link.in_flight = Ref();
        call_method(future.get(), BREL_STR("cancel"));
    }
    link.walk.reset();
    link.values = Ref();
    link.poll.reset();
    link.pass_id += 1;
}

// ---- run ----------------------------------------------------------------------------------

void schedule_next(State& st, std::size_t index);

void timer_fired(State& st, std::size_t index, unsigned long long pass_id, PyObject*) {
    Link& link = *st.links[index];
    if (pass_id != link.pass_id || !st.run || st.run->stopped) return;
    link.timer = Ref();
    double slot = 0;
    link.book.next_slot(slot);
    start_pass(st, index, st.run->loop.get(), std::max(loop_time(st.run->loop.get()), slot));
}

// A reading for the step that waits, or kept for the next one.
void deliver(RunState& run, Ref values) {
    if (run.waiter && !future_done(run.waiter.get())) {
        Ref waiter = run.waiter;
        run.waiter = Ref();
        call_method(waiter.get(), BREL_STR("set_result"), values.get());
        return;
    }
    run.ready.push_back(std::move(values));
}

bool all_finished(const State& st) {
    for (const auto& link : st.links)
        if (!link->finished) return false;
    return true;
}

void stop_iteration(State& st) {
    RunState& run = *st.run;
    if (!run.waiter || future_done(run.waiter.get()) || !run.ready.empty() || !all_finished(st)) return;
    Ref waiter = run.waiter;
    run.waiter = Ref();
    Ref stop = own(PyObject_CallNoArgs(PyExc_StopAsyncIteration));
    call_method(waiter.get(), BREL_STR("set_exception"), stop.get());
}

void schedule_next(State& st, std::size_t index) {
    Link& link = *st.links[index];
    RunState& run = *st.run;
    double slot = 0;
    if (!link.book.next_slot(slot) || slot > run.end) {
        link.finished = true;
        stop_iteration(st);
        return;
    }
    Ref at = own(PyFloat_FromDouble(std::max(slot, -1e300)));
    Ref fire = callback(st, timer_fired, index, link.pass_id);
    link.timer = call_method(run.loop.get(), BREL_STR("call_at"), at.get(), fire.get());
}

void stop_run(State& st) {
    if (!st.run || st.run->stopped) return;
    st.run->stopped = true;
    for (auto& link : st.links) {
        if (link->timer) {
            Ref timer = link->timer;
            link->timer = Ref();
            call_method(timer.get(), BREL_STR("cancel"));
        }
        if (!link->poll) drop_pass(*link);
        link->finished = true;
    }
    st.run->ready.clear();
}

// ---- the end of a pass --------------------------------------------------------------------

void pass_ended(State& st, std::size_t index) {
    Link& link = *st.links[index];
    Ref values = link.values;
    Counted<PollWaiter> poll = std::move(link.poll);
    link.walk.reset();
    link.values = Ref();
    link.pass_id += 1;
    if (poll) {
        check(PyDict_Update(poll->values.get(), values.get()));
        if (--poll->pending == 0 && !future_done(poll->future.get()))
            call_method(poll->future.get(), BREL_STR("set_result"), poll->values.get());
        return;
    }
    if (st.run && !st.run->stopped) {
        deliver(*st.run, values);
        schedule_next(st, index);
    }
}

// A callback of the loop that failed (no memory, an exception of the interpreter's own making):
// what waits for the passes gets the error, rather than waiting for ever, and the passes end.
void fail_all(State& st) {
    Ref error = Ref::steal_or_null(PyErr_GetRaisedException());
    for (auto& link : st.links) {
        if (link->poll && !future_done(link->poll->future.get()))
            call_method(link->poll->future.get(), BREL_STR("set_exception"), error.get());
        drop_pass(*link);
    }
    if (st.run && st.run->waiter && !future_done(st.run->waiter.get())) {
        Ref waiter = st.run->waiter;
        st.run->waiter = Ref();
        call_method(waiter.get(), BREL_STR("set_exception"), error.get());
    }
    stop_run(st);
}

// ---- members --------------------------------------------------------------------------------

// What was learned, as the constructor takes it: None, or a list of Poller-shaped dicts, one
// per master in the order they are first added; every entry checked before any is taken.
std::vector<polling::Learning> learned_list(PyObject* learned) {
    std::vector<polling::Learning> list;
    if (learned == Py_None) return list;
    if (!PyList_Check(learned)) {
        PyErr_Format(PyExc_TypeError,
                     "AsyncPoller: learned must be a list (as AsyncPoller.learned gives) or None, not %.200s",
                     Py_TYPE(learned)->tp_name);
        raise();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(learned); ++i) {
        const std::string who = "AsyncPoller: learned[" + std::to_string(i) + "]";
        Ref entry = Ref::borrow(PyList_GET_ITEM(learned, i));
        if (entry.get() == Py_None) {
            PyErr_Format(PyExc_TypeError, "%s must be a dict (as Poller.learned gives), not None", who.c_str());
            raise();
        }
        poller::load_learned(list.emplace_back(), entry.get(), who.c_str());
    }
    return list;
}

// AsyncPoller(max_gap=16, max_bit_gap=256, *, max_failures=3, max_backoff=60.0, learned=None)
Ref init(Args& a) {
    PyObject* self = a[0];
    auto state = std::make_unique<State>();
    state->auto_gap = poller::register_gap("AsyncPoller", a[1], state->gaps.registers);
    state->gaps.bits = poller::gap_value("AsyncPoller", a[2], "max_bit_gap");
    polling::Learning limits;
    poller::set_unit_limits("AsyncPoller", limits, a[3], a[4]);
    state->max_failures = limits.max_failures;
    state->max_backoff = limits.max_backoff;
    state->learned = learned_list(a[5]);
    Ref capsule = own(PyCapsule_New(state.get(), kCapsuleName, free_state));
    state->capsule = capsule.get();
    state.release();  // the capsule owns it now
    setattr(self, k_state(), capsule.get());
    return none();
}

MasterKind kind_of(PyObject* master) {
    const auto kind =
        poller::kind_of(master, {{"AsyncMaster", MasterKind::Stationed}, {"AsyncModbusTCPMaster", MasterKind::Tcp}});
    if (kind) return *kind;
    PyErr_Format(PyExc_TypeError, "AsyncPoller.add: master must be an AsyncMaster or AsyncModbusTCPMaster, not %.200s",
                 Py_TYPE(master)->tp_name);
    raise();
}

// add(master, name, station, table, address, format="H", order="ABCD", period=1.0)
Ref add(Args& a) {
    PyObject *self = a[0], *master = a[1], *name = a[2];
    Held st = state_of(self);
    const MasterKind kind = kind_of(master);
    std::string key = poller::utf8_of(name);
    if (st->by_name.count(key)) {
        PyErr_Format(PyExc_ValueError, "AsyncPoller.add: a point named %R exists already", name);
        raise();
    }
    poller::NewPoint point =
        poller::checked_point("AsyncPoller", &a.v[2], kind == MasterKind::Stationed ? nullptr : master);
    std::size_t index = 0;
    while (index < st->links.size() && st->links[index]->master.get() != master) ++index;
    if (index == st->links.size()) {
        auto link = std::make_unique<Link>();
        link->master = Ref::borrow(master);
        link->kind = kind;
        link->book.gaps = st->gaps;
        link->book.learning.max_failures = st->max_failures;
        link->book.learning.max_backoff = st->max_backoff;
        if (index < st->learned.size()) {
            link->book.learning.cuts = st->learned[index].cuts;
            link->book.learning.limits = st->learned[index].limits;
        }
        link->finished = st->run && st->run->started;  // a run under way does not take new masters
        st->links.push_back(std::move(link));
    }
    Link& link = *st->links[index];
    poller::take_point(link.book, std::move(point));
    st->by_name.emplace(std::move(key), std::make_pair(index, link.book.points.size() - 1));
    return none();
}

// plan(): (master, station, table, address, count, [names]) for every request of every master.
Ref plan(Args& a) {
    Held st = state_of(a[0]);
    Ref list = own(PyList_New(0));
    for (const auto& link : st->links) {
        const std::vector<polling::Request> requests = link->book.current_plan();  // a copy
        for (const polling::Request& r : requests) {
            Ref names = own(PyList_New(static_cast<Py_ssize_t>(r.points.size())));
            for (std::size_t k = 0; k < r.points.size(); ++k)
                PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k),
                                Py_NewRef(link->book.data[r.points[k]].name.get()));
            Ref station = poller::make_int(r.station), address = poller::make_int(r.address),
                count = poller::make_int(r.count);
            Ref row = own(PyTuple_Pack(6, link->master.get(), station.get(), poller::table_text(r.table), address.get(),
                                       count.get(), names.get()));
            check(PyList_Append(list.get(), row.get()));
        }
    }
    return list;
}

void poll_settled(State& st, std::size_t, unsigned long long, PyObject* future) {
    if (call_method(future, BREL_STR("cancelled")).get() != Py_True) return;
    for (auto& link : st.links)
        if (link->poll && link->poll->future.get() == future) drop_pass(*link);
}

bool busy(const State& st) {
    for (const auto& link : st.links)
        if (link->walk) return true;
    return false;
}

// poll(): one pass over every master, side by side; a future of name -> value | exception.
Ref poll(Args& a) {
    PyObject* self = a[0];
    Held st = state_of(self);
    if ((st->run && !st->run->stopped) || busy(*st.state))
        raise(PyExc_RuntimeError, "AsyncPoller.poll: a pass of this poller is under way");
    Ref loop = running_loop();
    auto waiter = Counted<PollWaiter>::make();
    waiter->future = call_method(loop.get(), BREL_STR("create_future"));
    waiter->values = own(PyDict_New());
    waiter->pending = st->links.size();
    Ref result = waiter->future;
    if (st->links.empty()) {
        call_method(result.get(), BREL_STR("set_result"), waiter->values.get());
        return result;
    }
    Ref settled = callback(*st.state, poll_settled, 0, 0);
    call_method(result.get(), BREL_STR("add_done_callback"), settled.get());
    const double now = loop_time(loop.get());
    for (auto& link : st->links) link->poll = waiter;
    try {
        for (std::size_t i = 0; i < st->links.size(); ++i) start_pass(*st.state, i, loop.get(), now);
    } catch (const PyError&) {
        // a master that raised KeyboardInterrupt or the like: no pass of this poll goes on
        PyObject* raised = PyErr_GetRaisedException();
        for (auto& link : st->links)
            if (link->poll == waiter) drop_pass(*link);
        PyErr_SetRaisedException(raised);
        throw;
    }
    return result;
}

// ---- run: the readings as an async iterator ---------------------------------------------------

struct Readings {
    PyObject ob_base;
    PyObject* poller;  // owned; null once the iterator is done
    double duration;   // seconds from the first step; infinity without one
    Counted<RunState>* run;
};

void readings_finish(Readings* it) {
    if (it->run) {
        if (it->poller) {
            Ref capsule = Ref::steal_or_null(PyObject_GetAttr(it->poller, k_state()));
            PyErr_Clear();
            auto* state = capsule ? static_cast<State*>(PyCapsule_GetPointer(capsule.get(), kCapsuleName)) : nullptr;
            PyErr_Clear();
            if (state && state->run == *it->run) {
                stop_run(*state);
                state->run.reset();
            }
        }
        delete it->run;
        it->run = nullptr;
    }
    Py_CLEAR(it->poller);
}

void step_settled(State& st, std::size_t, unsigned long long, PyObject* future) {
    if (!st.run || call_method(future, BREL_STR("cancelled")).get() != Py_True) return;
    if (st.run->waiter.get() == future) {
        st.run->waiter = Ref();
        stop_run(st);
    }
}

PyObject* readings_anext(PyObject* obj) noexcept {
    auto* it = reinterpret_cast<Readings*>(obj);
    return guarded([&]() -> PyObject* {
        Ref loop = running_loop();
        Ref future = call_method(loop.get(), BREL_STR("create_future"));
        if (!it->poller || !it->run || (*it->run)->stopped) {
            Ref stop = own(PyObject_CallNoArgs(PyExc_StopAsyncIteration));
            call_method(future.get(), BREL_STR("set_exception"), stop.get());
            return future.release();
        }
        Held st = state_of(it->poller);
        RunState& run = **it->run;
        if (!run.started) {
            if ((st->run && !st->run->stopped) || busy(*st.state))
                raise(PyExc_RuntimeError, "AsyncPoller.run: a pass of this poller is under way");
            st->run = *it->run;
            run.started = true;
            run.loop = loop;
            run.end = loop_time(loop.get()) + it->duration;
            for (std::size_t i = 0; i < st->links.size(); ++i) {
                st->links[i]->finished = false;
                schedule_next(*st.state, i);
            }
        }
        if (!run.ready.empty()) {
            Ref values = run.ready.front();
            run.ready.pop_front();
            call_method(future.get(), BREL_STR("set_result"), values.get());
            return future.release();
        }
        if (run.waiter && !future_done(run.waiter.get()))
            raise(PyExc_RuntimeError, "AsyncPoller.run: the previous step still waits");
        run.waiter = future;
        Ref settled = callback(*st.state, step_settled, 0, 0);
        call_method(future.get(), BREL_STR("add_done_callback"), settled.get());
        stop_iteration(*st.state);
        return future.release();
    });
}

PyObject* readings_aiter(PyObject* obj) noexcept { return Py_NewRef(obj); }

// aclose(): the run ends, the requests under way cancelled.
PyObject* readings_aclose(PyObject* obj, PyObject*) noexcept {
    auto* it = reinterpret_cast<Readings*>(obj);
    return guarded([&]() -> PyObject* {
        Ref loop = running_loop();
        readings_finish(it);
        Ref future = call_method(loop.get(), BREL_STR("create_future"));
        call_method(future.get(), BREL_STR("set_result"), Py_None);
        return future.release();
    });
}

int readings_traverse(PyObject* obj, visitproc visit, void* arg) noexcept {
    Py_VISIT(reinterpret_cast<Readings*>(obj)->poller);
    return 0;
}

// Ends the run; the exception being raised meanwhile (the iterator may go while one unwinds
// the frame that held it) is kept.
int readings_clear(PyObject* obj) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    try {
        readings_finish(reinterpret_cast<Readings*>(obj));
    } catch (const PyError&) {
        PyErr_WriteUnraisable(obj);
    }
    PyErr_SetRaisedException(raised);
    return 0;
}

void readings_dealloc(PyObject* obj) noexcept {
    PyObject_GC_UnTrack(obj);
    readings_clear(obj);
    PyObject_GC_Del(obj);
}

PyAsyncMethods readings_async = {nullptr, readings_aiter, readings_anext, nullptr};
PyMethodDef readings_methods[] = {
    {"aclose", readings_aclose, METH_NOARGS, "End the run: the requests under way are cancelled."},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject readings_type = [] {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "brel_modbus._AsyncPollerRun";
    t.tp_basicsize = sizeof(Readings);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The readings of AsyncPoller.run(): an async iterator of dicts, name -> value, one per master pass.";
    t.tp_dealloc = readings_dealloc;
    t.tp_traverse = readings_traverse;
    t.tp_clear = readings_clear;
    t.tp_as_async = &readings_async;
    t.tp_methods = readings_methods;
    return t;
}();

// run(duration=None)
Ref run(Args& a) {
    PyObject *self = a[0], *duration = a[1];
    state_of(self);  // a poller, before anything else
    const double seconds = poller::run_seconds("AsyncPoller", duration);
    static bool ready = false;
    if (!ready) {
        check(PyType_Ready(&readings_type));
        ready = true;
    }
    auto* it = PyObject_GC_New(Readings, &readings_type);
    if (!it) raise();
    it->poller = Py_NewRef(self);
    it->duration = seconds;
    it->run = new Counted<RunState>(Counted<RunState>::make());
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

// write(name, value): the point's value through its master (write_registers or write_coil);
// the master's future. An asyncio master sends a write before the reads that wait, and the
// poller has one read at most on each master: the write goes next.
Ref write(Args& a) {
    PyObject *self = a[0], *name = a[1], *value = a[2];
    Held st = state_of(self);
    const auto found = st->by_name.find(poller::utf8_of(name));
    if (found == st->by_name.end()) {
        PyErr_Format(PyExc_KeyError, "AsyncPoller.write: no point is named %R", name);
        raise();
    }
    Link& link = *st->links[found->second.first];
    const poller::PointWrite w = poller::point_write("AsyncPoller", link.book, found->second.second, name, value);
    Ref master = link.master;  // held: the write may run any interpreter code
    return poller::call_write(master.get(), link.kind, w);
}

// stats: {master: {station: {name: figure}}}, each master's as Poller.stats gives them.
Ref stats(Args& a) {
    Held st = state_of(a[0]);
    Ref result = own(PyDict_New());
    for (const auto& link : st->links) {
        Ref figures = poller::stats_of(link->book);
        check(PyDict_SetItem(result.get(), link->master.get(), figures.get()));
    }
    return result;
}

// learned: what each master's stations taught, one Poller-shaped dict per master in the order
// they were first added (then those given to the constructor for masters not added yet).
Ref learned(Args& a) {
    Held st = state_of(a[0]);
    const std::size_t n = std::max(st->links.size(), st->learned.size());
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        Ref entry = poller::learned_of(i < st->links.size() ? st->links[i]->book.learning : st->learned[i]);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

}  // namespace

// ---- member table ---------------------------------------------------------------------------------

const ClassSpec& async_poller_class() {
    static const ClassSpec spec{
        .name = "AsyncPoller",
        .members = {
            method("__init__", init,
                   {{"max_gap", "int | str", int_default(16)},
                    {"max_bit_gap", "int", int_default(256)},
                    {.name = "max_failures", .annotation = "int", .value = int_default(3), .keyword_only = true},
                    {.name = "max_backoff", .annotation = "float", .value = float_default(60.0), .keyword_only = true},
                    {.name = "learned", .annotation = "list | None", .value = none_default, .keyword_only = true}},
                   "None"),
            method("add", add,
                   {{"master"},
                    {"name", "str"},
                    {"station", "int"},
                    {"table", "str"},
                    {"address", "int"},
                    {"format", "str", str_default("H")},
                    {"order", "str", str_default("ABCD")},
                    {"period", "float", float_default(1.0)}},
                   "None"),
            method("poll", poll, {}, "dict"),
            method("run", run, {{"duration", "float | None", none_default}}),
            method("plan", plan, {}, "list"),
            property("stats", stats, "dict"),
            method("write", write, {{"name", "str"}, {"value"}}),
            property("learned", learned, "list"),
        }};
    return spec;
}

}  // namespace brel
