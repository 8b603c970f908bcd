// The RTU master's 32-bit typed values, converted through the module's `struct` or its imitation here.
#include "modbus/rtu_parts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace brel::rtu {

// ---- typed values ---------------------------------------------------------------------------------
//
// The conversions go through the module-level `struct` as looked up at call time:
// packing registers with "HH" (low word first) and unpacking with the value's format,
// or the reverse. While `struct` is the interpreter's own module, formats "I", "i" and
// "f" are converted here instead, with the results of a little-endian host on any host
// and the same errors, raised through the real struct.pack where one is due.

static_assert(std::numeric_limits<float>::is_iec559, "IEEE single precision expected");

// struct.pack, struct.unpack and struct.error as the interpreter's _struct module has
// them; pack is null when they cannot be had.
struct RealStruct {
    PyObject* pack = nullptr;
    PyObject* unpack = nullptr;
    PyObject* error = nullptr;
};

// Looked up on first use. No C++ static guard around the interpreter calls: the
// interpreter lock serialises callers, and a caller that finds the lookup under way
// simply takes the general road.
const RealStruct& real_struct() {
    static RealStruct real;
    static bool looked_up = false;
    if (looked_up) return real;
    looked_up = true;
    PyObject* pending = PyErr_GetRaisedException();
    Ref pack, unpack, error;
    if (Ref module = Ref::steal_or_null(PyImport_ImportModule("_struct"))) {
        pack = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "pack"));
        unpack = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "unpack"));
        error = Ref::steal_or_null(PyObject_GetAttrString(module.get(), "error"));
    }
    PyErr_Clear();
    if (pack && unpack && error) real = {pack.release(), unpack.release(), error.release()};  // kept for good
    PyErr_SetRaisedException(pending);
    return real;
}

enum class Kind32 : std::uint8_t { Unsigned, Signed, Float, Other };

Kind32 kind_of(PyObject* sign) {
    if (!PyUnicode_Check(sign) || PyUnicode_GET_LENGTH(sign) != 1) return Kind32::Other;
    switch (PyUnicode_READ_CHAR(sign, 0)) {
        case 'I':
            return Kind32::Unsigned;
        case 'i':
            return Kind32::Signed;
        case 'f':
            return Kind32::Float;
        default:
            return Kind32::Other;
    }
}

// An int (or int subclass) within [lo, hi]: what struct takes without calling back.
bool int_within(PyObject* v, long long lo, long long hi, long long& out) {
    if (!PyLong_Check(v)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (out == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return !overflow && out >= lo && out <= hi;
}

bool as_ushort(PyObject* v, std::uint16_t& out) {
    long long n;
    if (!int_within(v, 0, 0xFFFF, n)) return false;
    out = static_cast<std::uint16_t>(n);
    return true;
}

// The 32-bit pattern as the value it encodes.
Ref decode32(Kind32 kind, std::uint32_t bits) {
    switch (kind) {
        case Kind32::Unsigned:
            return own(PyLong_FromUnsignedLong(bits));
        case Kind32::Signed:
            return own(PyLong_FromLong(static_cast<std::int32_t>(bits)));
        default: {
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return own(PyFloat_FromDouble(f));
        }
    }
}

// Python's `a, b = seq`, with the texts the library reports for a wrong count.
[[noreturn]] void raise_need_more(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    raise();
}

void unpack_two(PyObject* seq, Ref& first, Ref& second) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        if (n < 2) raise_need_more(n);
        first = Ref::borrow(PySequence_Fast_ITEMS(seq)[0]);
        second = Ref::borrow(PySequence_Fast_ITEMS(seq)[1]);
        return;
    }
    Ref it = own(PyObject_GetIter(seq));
    Ref* slots[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (PyErr_Occurred()) raise();
            raise_need_more(i);
        }
    }
    if (Ref extra = Ref::steal_or_null(PyIter_Next(it.get())))
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred()) raise();
}

// The module's `struct`, looked up once per conversion step.
class Struct {
public:
    Struct() : module_(BREL_GLOBAL("struct")) {
        const RealStruct& real = real_struct();
        Ref pack, unpack;
        genuine_ = real.pack && attribute(module_.get(), BREL_STR("pack"), pack) && pack.get() == real.pack &&
                   attribute(module_.get(), BREL_STR("unpack"), unpack) && unpack.get() == real.unpack;
    }

    // struct.unpack(sign, struct.pack("HH", low, high))[0]
    Ref join(PyObject* low, PyObject* high, PyObject* sign) const {
        if (!genuine_) {
            Ref package = pack(BREL_STR("HH"), low, high);
            return unpack_first(sign, package.get());
        }
        std::uint16_t words[2];
        if (!as_ushort(low, words[0]) || !as_ushort(high, words[1])) {
            // The real pack raises for what it refuses; what it takes (objects with
            // __index__) comes back in the host's order.
            Ref package = pack(BREL_STR("HH"), low, high);
            std::memcpy(words, PyBytes_AS_STRING(package.get()), sizeof words);
        }
        const Kind32 kind = kind_of(sign);
        if (kind != Kind32::Other) return decode32(kind, static_cast<std::uint32_t>(words[0] | (words[1] << 16)));
        Ref package = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words), sizeof words));
        return unpack_first(sign, package.get());
    }

    // low, high = struct.unpack("HH", struct.pack(sign, value))
    void split(PyObject* value, PyObject* sign, Ref& low, Ref& high) const {
        const Kind32 kind = kind_of(sign);
        std::uint32_t bits;
        if (genuine_ && kind != Kind32::Other) {
            if (kind == Kind32::Float) {
                bits = float_bits(value);
            } else {
                long long n;
                const bool fits = kind == Kind32::Unsigned ? int_within(value, 0, 0xFFFFFFFFLL, n)
                                                           : int_within(value, INT32_MIN, INT32_MAX, n);
                if (fits) {
                    bits = static_cast<std::uint32_t>(n);
                } else {
                    Ref package = pack(sign, value);  // raises struct.error as the real pack does
                    std::memcpy(&bits, PyBytes_AS_STRING(package.get()), sizeof bits);
                }
            }
            low = small_int(static_cast<long>(bits & 0xFFFF));
            high = small_int(static_cast<long>(bits >> 16));
            return;
        }
        Ref package = pack(sign, value);
        Ref unpack_function = getattr(module_.get(), BREL_STR("unpack"));
        Ref words = call(unpack_function.get(), BREL_STR("HH"), package.get());
        unpack_two(words.get(), low, high);
    }

    // struct.unpack("h", struct.pack("H", value))[0]
    Ref signed16(PyObject* value) const {
        if (!genuine_) {
            Ref package = pack(BREL_STR("H"), value);
            return unpack_first(BREL_STR("h"), package.get());
        }
        std::uint16_t word;
        if (!as_ushort(value, word)) {
            Ref package = pack(BREL_STR("H"), value);
            std::memcpy(&word, PyBytes_AS_STRING(package.get()), sizeof word);
        }
        return small_int(static_cast<std::int16_t>(word));
    }

private:
    template <class... A>
    Ref pack(PyObject* format, A... args) const {
        Ref function = getattr(module_.get(), BREL_STR("pack"));
        Ref package = call(function.get(), format, args...);
        if (genuine_ && !PyBytes_CheckExact(package.get())) raise(PyExc_SystemError, "struct.pack gave no bytes");
        return package;
    }

    Ref unpack_first(PyObject* format, PyObject* package) const {
        Ref function = getattr(module_.get(), BREL_STR("unpack"));
        Ref values = call(function.get(), format, package);
        return item(values.get(), 0);
    }

    // The single-precision encoding of value, as struct.pack("f", value) takes it, except
    // that a finite value too large for single precision raises OverflowError instead
    // of becoming an infinity.
    static std::uint32_t float_bits(PyObject* value) {
        const double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_SetString(real_struct().error, "required argument is not a float");
            raise();
        }
        // Halfway between FLT_MAX and 2**128 and beyond, rounding gives an infinity.
        if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp127)
            raise(PyExc_OverflowError, "float too large to pack with f format");
        const float f = static_cast<float>(d);
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }

    Ref module_;
    bool genuine_ = false;
};

bool high_word_first(PyObject* endian) { return PyUnicode_CompareWithASCIIString(endian, ">") == 0; }

Ref signed16_of(PyObject* value) { return Struct().signed16(value); }

Ref join32(PyObject* registers, PyObject* sign, PyObject* endian) {
    Ref low, high;
    unpack_two(registers, low, high);
    if (high_word_first(endian)) std::swap(low, high);
    return Struct().join(low.get(), high.get(), sign);
}

Ref join32_all(PyObject* registers, PyObject* count, PyObject* sign, PyObject* endian) {
    // count is an exact int; one beyond a machine word runs until the registers end.
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (overflow) n = overflow > 0 ? std::numeric_limits<long long>::max() : 0;
    const bool swap = high_word_first(endian);
    Ref values = own(PyList_New(0));
    std::optional<Struct> st;
    for (long long i = 0; i < n; ++i) {
        if (i > (PY_SSIZE_T_MAX - 1) / 2) raise(PyExc_IndexError, "list index out of range");
        Ref low = item(registers, static_cast<Py_ssize_t>(2 * i));
        Ref high = item(registers, static_cast<Py_ssize_t>(2 * i + 1));
        if (swap) std::swap(low, high);
        if (!st) st.emplace();
        Ref value = st->join(low.get(), high.get(), sign);
        check(PyList_Append(values.get(), value.get()));
    }
    return values;
}

Ref split32(PyObject* value, PyObject* sign, PyObject* endian) {
    Ref low, high;
    Struct().split(value, sign, low, high);
    if (high_word_first(endian)) std::swap(low, high);
    Ref registers = own(PyList_New(2));
    PyList_SET_ITEM(registers.get(), 0, low.release());
    PyList_SET_ITEM(registers.get(), 1, high.release());
    return registers;
}

Ref split32_all(PyObject* values, PyObject* sign, PyObject* endian) {
    const bool swap = high_word_first(endian);
    Ref registers = own(PyList_New(0));
    std::optional<Struct> st;
    Ref it = own(PyObject_GetIter(values));
    while (Ref value = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (!st) st.emplace();
        Ref low, high;
        st->split(value.get(), sign, low, high);
        if (swap) std::swap(low, high);
        check(PyList_Append(registers.get(), low.get()));
        check(PyList_Append(registers.get(), high.get()));
    }
    if (PyErr_Occurred()) raise();
    return registers;
}

Ref master_read_int16(Args& a) {
    Ref value = call_method(a[0], BREL_STR("read_register"), a[1], a[2]);
    return signed16_of(value.get());
}

Ref master_read_int32(Args& a) {
    Ref two = small_int(2);
    Ref registers = call_method(a[0], BREL_STR("read_registers"), a[1], a[2], two.get());
    return join32(registers.get(), a[3], a[4]);
}

Ref master_read_multi_int32(Args& a) {
    PyObject* count = a[3];
    Ref two = small_int(2);
    Ref total = own(PyNumber_Multiply(two.get(), count));
    Ref registers = call_method(a[0], BREL_STR("read_registers"), a[1], a[2], total.get());
    return join32_all(registers.get(), count, a[4], a[5]);
}

Ref master_write_int32(Args& a) {
    Ref registers = split32(a[3], a[4], a[5]);
    call_method(a[0], BREL_STR("write_registers"), a[1], a[2], registers.get());
    return none();
}

Ref master_write_multi_int32(Args& a) {
    Ref registers = split32_all(a[3], a[4], a[5]);
    call_method(a[0], BREL_STR("write_registers"), a[1], a[2], registers.get());
    return none();
}

// The public 32-bit members: the private member with the value kind that `data` names.
PyObject* sign_of(const Args& a) {
    switch (*static_cast<const char*>(a.data)) {
        case 'I':
            return BREL_STR("I");
        case 'i':
            return BREL_STR("i");
        default:
            return BREL_STR("f");
    }
}

Ref master_read_32(Args& a) { return call_method(a[0], master_steps().name(kReadInt32), a[1], a[2], sign_of(a), a[3]); }

Ref master_read_multi_32(Args& a) {
    return call_method(a[0], master_steps().name(kReadMultiInt32), a[1], a[2], a[3], sign_of(a), a[4]);
}

Ref master_write_32(Args& a) {
    call_method(a[0], master_steps().name(kWriteInt32), a[1], a[2], a[3], sign_of(a), a[4]);
    return none();
}

Ref master_write_multi_32(Args& a) {
    call_method(a[0], master_steps().name(kWriteMultiInt32), a[1], a[2], a[3], sign_of(a), a[4]);
    return none();
}

// A public 32-bit member: station, address, the `middle` parameters, then endian.
MemberSpec typed(const char* key, Impl impl, std::vector<ParamSpec> middle, const char* sign) {
    std::vector<ParamSpec> params{{"station"}, {"address"}};
    params.insert(params.end(), middle.begin(), middle.end());
    params.push_back({"endian", "str", str_default(">")});
    return with_data(method(key, impl, std::move(params)), sign);
}

}  // namespace brel::rtu
