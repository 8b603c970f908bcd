// The pollers' shared faces (poller_points.hpp): points checked, answers decoded, failures told
// apart, figures and what was learned as Python objects.
#include "modbus/poller_points.hpp"

#include "modbus/errors.hpp"

#include <algorithm>
#include <cmath>

namespace brel::poller {

Ref make_int(long long v) { return own(PyLong_FromLongLong(v)); }

namespace {

Ref none() { return Ref::borrow(Py_None); }

struct TableName {
    const char* text;
    Table table;
};
constexpr TableName kTables[] = {
    {"holding", Table::Holding}, {"input", Table::Input}, {"coil", Table::Coil}, {"discrete", Table::Discrete}};

Table table_of(const char* who, PyObject* text) {
    for (const TableName& row : kTables)
        if (PyUnicode_CompareWithASCIIString(text, row.text) == 0) return row.table;
    PyErr_Format(PyExc_ValueError, "%s.add: table must be 'holding', 'input', 'coil' or 'discrete': %R", who, text);
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

[[noreturn]] void raise_short_answer(Py_ssize_t given, const polling::Request& r) {
    PyErr_Format(PyExc_ValueError, "Poller: the master answered %zd %s for %u asked", given,
                 polling::is_bits(r.table) ? "bits" : "registers", static_cast<unsigned>(r.count));
    raise();
}

// The values of the request's points, into `values`, from the master's answer.
void decode_request(const Book& book, const polling::Request& r, PyObject* answer, PyObject* values) {
    if (polling::is_bits(r.table)) {
        Ref bits = own(PySequence_Fast(answer, "Poller: the master's answer is not a sequence"));
        if (PySequence_Fast_GET_SIZE(bits.get()) < r.count) raise_short_answer(PySequence_Fast_GET_SIZE(bits.get()), r);
        for (const std::size_t index : r.points) {
            const Py_ssize_t offset = book.points[index].address - r.address;
            if (offset >= PySequence_Fast_GET_SIZE(bits.get())) raise(PyExc_IndexError, "list index out of range");
            Ref bit = Ref::borrow(PySequence_Fast_GET_ITEM(bits.get(), offset));
            check(PyDict_SetItem(values, book.data[index].name.get(), bit.get()));
        }
        return;
    }
    const Py_ssize_t given = check_size(PyObject_Length(answer));
    if (given != r.count) raise_short_answer(given, r);
    const std::vector<std::uint16_t> words = register_words(answer, r.count);
    for (const std::size_t index : r.points) {
        const polling::Point p = book.points[index];  // a copy: the points may grow meanwhile
        const PointData& d = book.data[index];
        Ref decoded = decode_words(d.layout, words.data() + (p.address - r.address), p.width);
        Ref value = d.one_value ? Ref::borrow(PyList_GET_ITEM(decoded.get(), 0)) : decoded;
        check(PyDict_SetItem(values, d.name.get(), value.get()));
    }
}

// What kind of failure an exception of a master reports, from its class (errors.hpp).
polling::Failure classify(PyObject* exc) noexcept {
    switch (failure_kind(exc)) {
        case FailureKind::Timeout:
            return polling::Failure::Timeout;
        case FailureKind::Frame:
            return polling::Failure::Crc;
        case FailureKind::Mismatch:
            return polling::Failure::Mismatch;
        case FailureKind::Refusal:
            return polling::Failure::Slave;
        default:
            return polling::Failure::Other;
    }
}

// The Modbus exception code of a slave's refusal (0 when it has none that is an int).
long error_code_of(PyObject* exc) {
    Ref code = Ref::steal_or_null(PyObject_GetAttr(exc, BREL_STR("error_code")));
    const long v = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    PyErr_Clear();
    return v;
}

Ref optional_float(std::optional<double> v) { return v ? own(PyFloat_FromDouble(*v)) : none(); }

// An int of `learned` within low..high, else ValueError naming where it was found.
long long learned_int(const char* who, PyObject* value, long long low, long long high, const char* where,
                      PyObject* station, PyObject* table) {
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
        PyErr_Format(PyExc_ValueError, "%s[%R][%R] %s must be an int from %lld to %lld: %R", who, station, table, where,
                     low, high, value);
        raise();
    }
    return v;
}

}  // namespace

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

std::string utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(text, &size);
    if (!chars) raise();
    return std::string(chars, static_cast<std::size_t>(size));
}

std::optional<MasterKind> kind_of(PyObject* master, std::initializer_list<ClassKind> classes) {
    for (const ClassKind& row : classes) {
        Ref cls = global(own(PyUnicode_FromString(row.class_name)).get());
        if (check(PyObject_IsInstance(master, cls.get()))) return row.kind;
    }
    return std::nullopt;
}

NewPoint checked_point(const char* who, PyObject* const* a, PyObject* fixed) {
    PyObject* name = a[0];
    const long long station = field_of(a[1], "station", 0xFF);
    if (!fixed && station == 0) {
        PyErr_Format(builtins.ValueError, "%s.add: station 0 is the broadcast address, which no slave answers", who);
        raise();
    }
    if (fixed) {
        Ref own_value = getattr(fixed, BREL_STR("station"));
        const long long own_station = PyLong_AsLongLong(own_value.get());
        if (own_station == -1 && PyErr_Occurred()) raise();
        if (station != own_station) {
            PyErr_Format(PyExc_ValueError,
                         "%s.add: station %lld is not the master's station %lld (a %.200s reads its own station "
                         "only)",
                         who, station, own_station, Py_TYPE(fixed)->tp_name);
            raise();
        }
    }
    const Table table = table_of(who, a[2]);
    const long long address = field_of(a[3], "address", modbus::kMaxAddress);
    PointData data{Ref::borrow(name), {}, true};
    std::size_t width = 1;
    if (!polling::is_bits(table)) {
        data.layout = value_layout(a[4], a[5]);
        width = data.layout.registers();
        if (width > modbus::kMaxReadRegisters) {
            PyErr_Format(PyExc_ValueError, "modbus: the format takes %zu registers, at most %zu can be read", width,
                         modbus::kMaxReadRegisters);
            raise();
        }
        data.one_value = data.layout.format.values == 1;
    }
    if (static_cast<std::size_t>(address) + width - 1 > modbus::kMaxAddress) {
        PyErr_Format(PyExc_ValueError, "%s.add: a point of %zu registers at %lld runs past address 65535", who, width,
                     address);
        raise();
    }
    const double period = PyFloat_AS_DOUBLE(a[6]);  // converted by the parser
    if (!(period > 0) || !std::isfinite(period)) {
        PyErr_Format(PyExc_ValueError, "%s.add: period must be a positive number of seconds: %R", who, a[6]);
        raise();
    }
    return {{static_cast<std::uint8_t>(station), table, static_cast<std::uint16_t>(address),
             static_cast<std::uint16_t>(width), period},
            std::move(data)};
}

void take_point(Book& book, NewPoint&& p) {
    book.points.push_back(p.point);
    book.data.push_back(std::move(p.data));
    if (!book.schedule_of(p.point.period)) book.schedules.push_back({.period = p.point.period});
    book.learning.figures[p.point.station];  // listed in stats from now on
    book.planned = false;
}

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

PointWrite point_write(const char* who, const Book& book, std::size_t index, PyObject* name, PyObject* value) {
    const polling::Point point = book.points[index];
    if (point.table == Table::Input || point.table == Table::Discrete) {
        PyErr_Format(PyExc_ValueError, "%s.write: %R is %s, which cannot be written", who, name,
                     point.table == Table::Input ? "an input register" : "a discrete input");
        raise();
    }
    PointWrite w{BREL_STR("write_coil"), make_int(point.station), make_int(point.address), Ref::borrow(value)};
    if (point.table == Table::Holding) {
        const PointData& d = book.data[index];
        if (point.width > modbus::kMaxWriteRegisters) {
            PyErr_Format(PyExc_ValueError, "%s.write: %R takes %u registers, at most %zu can be written", who, name,
                         static_cast<unsigned>(point.width), modbus::kMaxWriteRegisters);
            raise();
        }
        Ref values = d.one_value ? own(PyList_New(1)) : Ref::borrow(value);
        if (d.one_value) PyList_SET_ITEM(values.get(), 0, Py_NewRef(value));
        const std::vector<std::uint16_t> words = encode_to_words(d.layout, values.get());
        w.payload = own(PyList_New(static_cast<Py_ssize_t>(words.size())));
        for (std::size_t i = 0; i < words.size(); ++i)
            PyList_SET_ITEM(w.payload.get(), static_cast<Py_ssize_t>(i), make_int(words[i]).release());
        w.method = BREL_STR("write_registers");
    }
    return w;
}

Ref call_write(PyObject* master, MasterKind kind, const PointWrite& w) {
    if (kind == MasterKind::Stationed)
        return call_method(master, w.method, w.station.get(), w.address.get(), w.payload.get());
    return call_method(master, w.method, w.address.get(), w.payload.get());
}

void give_points(const Book& book, const polling::Request& r, PyObject* values, PyObject* value) {
    for (const std::size_t index : r.points) check(PyDict_SetItem(values, book.data[index].name.get(), value));
}

void take_answer(Book& book, polling::PassWalk& walk, PyObject* answer, double round_trip, PyObject* values) {
    const polling::Request& r = walk.sent();
    walk.took(round_trip);
    try {
        decode_request(book, r, answer, values);
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
        walk.failed(polling::Failure::Other);
        book.last_errors[r.station] = exc;
        give_points(book, r, values, exc.get());
        return;
    }
    walk.answered();
    book.last_errors.erase(r.station);
}

void take_failure(Book& book, polling::PassWalk& walk, PyObject* exc, double round_trip, PyObject* values) {
    const polling::Request r = walk.sent();  // a copy: a refusal may push parts
    const polling::Failure failure = classify(exc);
    bool give = true;
    if (failure == polling::Failure::Slave) {
        const long code = error_code_of(exc);
        give = walk.refused(code, round_trip);
        if (code == 10 || code == 11)
            book.last_errors[r.station] = Ref::borrow(exc);
        else
            book.last_errors.erase(r.station);
    } else {
        walk.failed(failure);
        book.last_errors[r.station] = Ref::borrow(exc);
    }
    if (give) give_points(book, r, values, exc);
}

void take_skip(const Book& book, const polling::Request& r, PyObject* values) {
    const auto found = book.last_errors.find(r.station);
    give_points(book, r, values, found != book.last_errors.end() ? found->second.get() : Py_None);
}

Ref stats_of(const Book& book) {
    Ref result = own(PyDict_New());
    for (const auto& [station, f] : book.learning.figures) {
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
        const polling::Unit& unit = f.unit;
        check(PyDict_SetItemString(row.get(), "state", unit.down ? BREL_STR("down") : BREL_STR("up")));
        Ref failures = own(PyLong_FromUnsignedLongLong(unit.failures));
        check(PyDict_SetItemString(row.get(), "failures", failures.get()));
        const auto last = unit.has_success ? std::optional<double>(unit.last_success) : std::nullopt;
        check(PyDict_SetItemString(row.get(), "last_success", optional_float(last).get()));
        const auto backoff = unit.down ? std::optional<double>(unit.backoff) : std::nullopt;
        check(PyDict_SetItemString(row.get(), "backoff", optional_float(backoff).get()));
        Ref gap = make_int(static_cast<long long>(book.gaps.registers));
        check(PyDict_SetItemString(row.get(), "max_gap", gap.get()));
        Ref key = make_int(station);
        check(PyDict_SetItem(result.get(), key.get(), row.get()));
    }
    return result;
}

// {"<station>": {"<table>": {"cuts": [...], "max_block": n | None, "largest_read": n,
// "smallest_refused": n | None}}}: the tables with a cut or a bound, all keys str, so that it
// goes through JSON and back unchanged.
Ref learned_of(const polling::Learning& learning) {
    std::map<std::pair<std::uint8_t, Table>, std::vector<long>> cuts;
    std::map<std::pair<std::uint8_t, Table>, polling::BlockLimit> bounds;
    for (const polling::Cut& c : learning.cuts) cuts[{c.station, c.table}].push_back(c.address);
    for (const polling::BlockLimit& row : learning.limits.rows())
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

// Poller(..., learned=...): what an earlier poller learned (its `learned`, through JSON or not).
// Every entry is checked before any is taken.
void load_learned(polling::Learning& learning, PyObject* learned, const char* who) {
    if (learned == Py_None) return;
    if (!PyDict_Check(learned)) {
        PyErr_Format(PyExc_TypeError, "%s must be a dict (as Poller.learned gives) or None, not %.200s", who,
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
            PyErr_Format(PyExc_ValueError, "%s: %R is not a station (0 to 255)", who, station_key);
            raise();
        }
        if (!PyDict_Check(tables)) {
            PyErr_Format(PyExc_TypeError, "%s[%R] must be a dict of tables, not %.200s", who, station_key,
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
                PyErr_Format(PyExc_ValueError, "%s[%R]: %R is not 'holding', 'input', 'coil' or 'discrete'", who,
                             station_key, table_key);
                raise();
            }
            if (!PyDict_Check(entry)) {
                PyErr_Format(PyExc_TypeError, "%s[%R][%R] must be a dict, not %.200s", who, station_key, table_key,
                             Py_TYPE(entry)->tp_name);
                raise();
            }
            const auto s8 = static_cast<std::uint8_t>(station);
            const long long top = static_cast<long long>(polling::read_limit(*table));
            if (PyObject* list = PyDict_GetItemString(entry, "cuts")) {
                if (!PyList_Check(list)) {
                    PyErr_Format(PyExc_TypeError, "%s[%R][%R] cuts must be a list, not %.200s", who, station_key,
                                 table_key, Py_TYPE(list)->tp_name);
                    raise();
                }
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
                    const long long at = learned_int(who, PyList_GET_ITEM(list, i), 1, modbus::kMaxAddress, "cuts",
                                                     station_key, table_key);
                    cuts.push_back({s8, *table, 0, static_cast<std::uint16_t>(at)});
                }
            }
            if (PyObject* read = PyDict_GetItemString(entry, "largest_read"); read && read != Py_None)
                limits.answered(
                    s8, *table,
                    static_cast<std::size_t>(learned_int(who, read, 0, top, "largest_read", station_key, table_key)));
            if (PyObject* refused = PyDict_GetItemString(entry, "smallest_refused"); refused && refused != Py_None)
                limits.set_refused(s8, *table,
                                   static_cast<std::size_t>(
                                       learned_int(who, refused, 2, top, "smallest_refused", station_key, table_key)));
        }
    }
    learning.cuts = std::move(cuts);
    learning.limits = std::move(limits);
}

void* capsule_state(PyObject* self, PyObject* key, const char* capsule_name, const char* who, Ref& capsule) {
    capsule = Ref::steal_or_null(PyObject_GetAttr(self, key));
    void* state = capsule ? PyCapsule_GetPointer(capsule.get(), capsule_name) : nullptr;
    if (!state) {
        if (capsule || PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s: the instance holds no poller state (was __init__ called?)", who);
        }
        raise();
    }
    return state;
}

double run_seconds(const char* who, PyObject* duration) {
    if (duration == Py_None) return INFINITY;
    const double seconds = PyFloat_AsDouble(duration);
    if (seconds == -1.0 && PyErr_Occurred()) raise();
    if (!(seconds >= 0) || std::isinf(seconds)) {
        PyErr_Format(PyExc_ValueError, "%s.run: duration must be None or a number of seconds from 0: %R", who,
                     duration);
        raise();
    }
    return seconds;
}

std::size_t gap_value(const char* who, PyObject* value, const char* what) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_Format(PyExc_ValueError, "%s: %s must not be negative: %S", who, what, value);
        raise();
    }
    // Any gap beyond the read limit merges as much as the limit allows.
    return overflow || v > 0xFFFF ? 0xFFFF : static_cast<std::size_t>(v);
}

bool register_gap(const char* who, PyObject* value, std::size_t& gap) {
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "auto") != 0) {
            PyErr_Format(PyExc_ValueError, "%s: max_gap must be a number of registers or 'auto': %R", who, value);
            raise();
        }
        return true;
    }
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Argument 'max_gap' has incorrect type (expected int or 'auto', got %.200s)",
                     Py_TYPE(value)->tp_name);
        raise();
    }
    gap = gap_value(who, value, "max_gap");
    return false;
}

void follow_costs(Book& book, const polling::ReadCosts& costs) {
    if (const auto gap = costs.gap(); gap && polling::gap_moved(book.gaps.registers, *gap)) {
        book.gaps.registers = *gap;
        book.planned = false;
    }
}

void set_unit_limits(const char* who, polling::Learning& learning, PyObject* max_failures, PyObject* max_backoff) {
    int overflow = 0;
    const long long failures = PyLong_AsLongLongAndOverflow(max_failures, &overflow);
    if (failures == -1 && PyErr_Occurred()) raise();
    if (overflow < 0 || (!overflow && failures < 1)) {
        PyErr_Format(PyExc_ValueError, "%s: max_failures must be at least 1: %S", who, max_failures);
        raise();
    }
    learning.max_failures = overflow ? ~0ULL : static_cast<unsigned long long>(failures);
    learning.max_backoff = PyFloat_AS_DOUBLE(max_backoff);  // converted by the parser
    if (!(learning.max_backoff > 0) || !std::isfinite(learning.max_backoff)) {
        PyErr_Format(PyExc_ValueError, "%s: max_backoff must be a positive number of seconds: %R", who, max_backoff);
        raise();
    }
}

}  // namespace brel::poller
