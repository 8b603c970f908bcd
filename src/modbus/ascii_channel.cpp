// AsciiChannel: Modbus ASCII framing over a serial channel, the channel of Master(..., framing="ascii").
//
// The master builds, checks and records RTU frames; this channel turns them into ASCII
// on the line and back, so that every step, check and late binding of the master stays
// as it is. A frame written (station, PDU, CRC) goes out as ':', the station and PDU in
// upper-case hex pairs, their LRC, CR LF. An answer is read as one whole ASCII frame and
// handed to the master as the RTU frame it stands for (station, PDU, and their CRC), so
// the master reads, checks and records it as on an RTU line. What does not make a frame is
// an error, and nothing of it is decoded:
// - a wrong LRC: ValueError "modbus: message from slave with station %s has lrc error"
//   (the CRC error's text, with the station of the request);
// - a character that is no hex digit, an odd count of digits, a frame too short, CR
//   without LF: ValueError "modbus ascii: ...";
// - more than 1 s between two characters of one frame (the standard's limit, whatever
//   the time-out): OSError "modbus ascii: more than 1 s between two characters of the
//   answer".
// Characters before a ':' are dropped; a ':' within a frame starts it again. A frame that
// stops short (the time-out ran out) gives nothing: the master reports its time-out.
#include "channel/serial_channel.hpp"
#include "modbus/ascii_frames.hpp"
#include "modbus/classes.hpp"
#include "modbus/errors.hpp"
#include "modbus/crc16.hpp"
#include "modbus/serial_line.hpp"
#include "module/native_state.hpp"
#include "module/runtime.hpp"
#include "module/shared_members.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace brel::ascii {
namespace {

// The standard's longest pause between two characters of one frame, in seconds.
inline constexpr double kCharacterGap = 1.0;
// The most characters between ':' and CR LF: a frame of 256 bytes, as hex.
inline constexpr std::size_t kMostDigits = 2 * 256;

struct AsciiState final : Attachment {
    static constexpr std::size_t kSlot = 3;

    Ref line;                           // the serial channel underneath
    std::uint8_t station = 0;           // of the last frame written: the error texts name it
    std::vector<std::uint8_t> pending;  // the RTU form of frames read, not yet taken: [head, size)
    std::size_t head = 0;

    std::size_t waiting() const noexcept { return pending.size() - head; }
};

Ref none() { return Ref::borrow(Py_None); }

AsciiState& state_of(PyObject* self) {
    AsciiState* state = existing<AsciiState>(self);
    if (!state || !state->line) raise(PyExc_TypeError, "AsciiChannel: not made by AsciiChannel(line)");
    return *state;
}

// One character from the line (read(1)); -1 when none came within its time-out.
int read_char(PyObject* line) {
    static PyObject* const one = PyLong_FromLong(1);  // a small int: lives for the process
    Ref data = channel::read(line, one);
    Py_buffer view;
    check(PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE));
    const int c = view.len > 0 ? static_cast<const std::uint8_t*>(view.buf)[0] : -1;
    PyBuffer_Release(&view);
    return c;
}

[[noreturn]] void broken(PyObject* type, const char* text) { raise(type, text); }

// Reads one ASCII frame and appends its RTU form to state.pending; false when none began
// within the line's time-out, or one stopped short within it.
bool read_frame(AsciiState& state) {
    PyObject* line = state.line.get();
    int c;
    do {
        c = read_char(line);
        if (c < 0) return false;
    } while (c != modbus::kAsciiStart);
    // Within the frame no pause may pass the standard's limit: the line's time-out is
    // lowered to it while the frame comes, if it is longer (or none).
    line::TimeoutChange timeout(line);
    const double answer = line::delay_of_timeout(line);
    const bool gap_bound = answer == 0 || answer > kCharacterGap;
    if (gap_bound) timeout.set(kCharacterGap);
    auto next = [&] {
        const int got = read_char(line);
        if (got >= 0) return got;
        timeout.restore();
        if (gap_bound) broken(errors.timeout, "modbus ascii: more than 1 s between two characters of the answer");
        return -1;
    };
    std::vector<std::uint8_t> digits;
    for (;;) {
        c = next();
        if (c < 0) return false;
        if (c == modbus::kAsciiStart) {  // a new frame begins
            digits.clear();
            continue;
        }
        if (c == modbus::kAsciiCr) break;
        if (digits.size() == kMostDigits) broken(errors.frame, "modbus ascii: answer longer than a frame");
        digits.push_back(static_cast<std::uint8_t>(c));
    }
    c = next();
    if (c < 0) return false;
    timeout.restore();
    if (c != modbus::kAsciiLf) broken(errors.frame, "modbus ascii: answer with CR but no LF after it");
    std::uint8_t bytes[kMostDigits / 2];
    std::size_t size = 0;
    switch (modbus::ascii_decode(digits.data(), digits.size(), bytes, size)) {
        case modbus::AsciiDecoded::Ok:
            break;
        case modbus::AsciiDecoded::BadHex:
            broken(errors.frame, "modbus ascii: answer with a character that is no hex digit");
        case modbus::AsciiDecoded::OddDigits:
            broken(errors.frame, "modbus ascii: answer with an odd count of hex digits");
        case modbus::AsciiDecoded::TooShort:
            broken(errors.frame, "modbus ascii: answer shorter than a station and a function code");
        case modbus::AsciiDecoded::WrongLrc: {
            Ref station = own(PyLong_FromLong(state.station));
            PyErr_Format(errors.frame, "modbus: message from slave with station %S has lrc error", station.get());
            raise();
        }
    }
    // The RTU form: station and PDU, then their CRC, low byte first.
    const std::size_t body = size - 1;
    const std::uint16_t crc = modbus::crc16(bytes, body);
    state.pending.insert(state.pending.end(), bytes, bytes + body);
    state.pending.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    state.pending.push_back(static_cast<std::uint8_t>(crc >> 8));
    return true;
}

Ref take(AsciiState& state, std::size_t size) {
    const std::size_t n = std::min(size, state.waiting());
    Ref out = own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(state.pending.data() + state.head),
                                            static_cast<Py_ssize_t>(n)));
    state.head += n;
    if (state.head == state.pending.size()) {
        state.pending.clear();
        state.head = 0;
    }
    return out;
}

// ---- the members ----------------------------------------------------------------------------

Ref init(Args& a) {
    ObjectLock lock(a[0]);
    AsciiState* state = attached<AsciiState>(a[0]);
    if (!state) raise(PyExc_TypeError, "AsciiChannel: this object keeps no native state");
    state->line = Ref::borrow(a[1]);
    return none();
}

Ref read(Args& a) {
    const Py_ssize_t size = PyNumber_AsSsize_t(a[1], PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) raise();
    ObjectLock lock(a[0]);
    AsciiState& state = state_of(a[0]);
    while (static_cast<Py_ssize_t>(state.waiting()) < size)
        if (!read_frame(state)) break;
    return take(state, size > 0 ? static_cast<std::size_t>(size) : 0);
}

Ref write(Args& a) {
    ObjectLock lock(a[0]);
    AsciiState& state = state_of(a[0]);
    Py_buffer view;
    check(PyObject_GetBuffer(a[1], &view, PyBUF_SIMPLE));
    const auto* frame = static_cast<const std::uint8_t*>(view.buf);
    const auto size = static_cast<std::size_t>(view.len);
    const std::size_t body = size >= 4 ? size - 2 : size;  // the RTU frame's CRC stays off the line
    if (body > 0) state.station = frame[0];
    std::vector<std::uint8_t> out(modbus::ascii_frame_size(body));
    modbus::ascii_frame(out.data(), frame, body);
    PyBuffer_Release(&view);
    Ref chars =
        own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size())));
    channel::write(state.line.get(), chars.get());
    return own(PyLong_FromSize_t(size));
}

// Frames read and not yet taken. Characters waiting on the line belong to no frame the
// master asked for (it asks before a request, to drop stale input): they are dropped here.
Ref in_waiting(Args& a) {
    ObjectLock lock(a[0]);
    AsciiState& state = state_of(a[0]);
    PyObject* line = state.line.get();
    Ref raw = channel::in_waiting(line);
    Ref zero = own(PyLong_FromLong(0));
    if (check(PyObject_RichCompareBool(raw.get(), zero.get(), Py_GT)) == 1) channel::read(line, raw.get());
    return own(PyLong_FromSize_t(state.waiting()));
}

Ref is_open(Args& a) { return channel::is_open(state_of(a[0]).line.get()); }

Ref close(Args& a) {
    PyObject* line = state_of(a[0]).line.get();
    Ref open = channel::is_open(line);
    if (check(PyObject_IsTrue(open.get())) == 1) channel::close(line);
    return none();
}

Ref timeout(Args& a) { return channel::timeout(state_of(a[0]).line.get()); }

Ref set_timeout(Args& a) {
    channel::set_timeout(state_of(a[0]).line.get(), a[1]);
    return none();
}

Ref get_line(Args& a) { return state_of(a[0]).line; }

}  // namespace

const ClassSpec& ascii_channel_class() {
    static const ClassSpec spec{.name = "AsciiChannel",
                                .members = {
                                    method("__init__", init, {{"line"}}),
                                    method("read", read, {{"size", "int", int_default(1)}}, "bytes"),
                                    method("write", write, {{"data"}}, "int"),
                                    property("in_waiting", in_waiting, "int"),
                                    property("is_open", is_open),
                                    method("close", close),
                                    property("timeout", timeout, nullptr, set_timeout),
                                    property("line", get_line),
                                    enter_member(),
                                    exit_member(),
                                }};
    return spec;
}

}  // namespace brel::ascii
