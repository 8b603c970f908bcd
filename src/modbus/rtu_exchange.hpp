// The Modbus RTU exchange without I/O: judges the bytes of one answer against its request.
//
// The caller writes the request frame (station, PDU, CRC), then feeds what the line brings
// into the exchange and asks step() what it makes of it: the exchange never reads, writes
// or waits, so an event loop can drive it as well as a blocking reader. It judges as
// Master's __feedback_assistant does: the first five bytes decide; a function code with
// the exception flag makes a five-byte refusal, checked by its CRC and then against the
// request's station and function code; any other answer is wanted to its whole length
// (the length the caller expects, else the length its function code's size rule reads from
// the answer), then checked by its CRC and against the request. A CRC error comes before
// a mismatch, as on the synchronous master. Bytes after the answer are left in the buffer
// (extent() tells where the answer ends). An answer whose length neither the caller nor
// the size rule knows is what has come: feed it once the line has gone quiet. A short
// answer is never an outcome here: the caller's time-out ends it. An exchange begun `open`
// (an answer whose length only its reader can tell) judges a refusal as any other, and any
// other answer only when the caller says the line has gone quiet (quiet()): then what has
// come is the whole answer. RtuLine below tells when
// the next request may go out. Plain C++ without the interpreter.
#pragma once

#include "modbus/byte_buffer.hpp"
#include "modbus/frames.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace brel::modbus {

enum class RtuStep : std::uint8_t {
    Want,      // more bytes are needed: wanted() tells how many at least
    Done,      // a sound answer to the request: answer() and extent()
    Refused,   // a sound exception answer from the station for the function asked
    CrcError,  // the answer's CRC is wrong
    Mismatch,  // a sound frame that does not answer the request
};

// The verdict on a whole answer frame (station first, CRC last) to the request whose first
// bytes are `request`: the one judge of both RTU masters. The exchange below asks it once
// it holds the answer; the synchronous Master asks it once its steps have read the answer
// and checked the CRC (through its own replaceable steps, so it passes `check_crc` false).
// A five-byte frame with the exception flag is a refusal when it comes from the station
// for the function asked; any other frame answers the request by `rule`, or, without one,
// by its station and function code alone. Only the first eight bytes are compared.
constexpr RtuStep judge_rtu_answer(const RequestHead& request, std::optional<AnswerRule> rule,
                                   const std::uint8_t* answer, std::size_t size, bool check_crc) noexcept {
    if (check_crc && !crc16_frame_ok(answer, size)) return RtuStep::CrcError;
    if (size == kRtuHeadSize && answer[1] >= kExceptionFlag)
        return answer[0] == request.station() && answer[1] == (request.code() | kExceptionFlag) ? RtuStep::Refused
                                                                                                : RtuStep::Mismatch;
    const bool matches = rule ? rtu_answer_matches(request, *rule, answer, size)
                              : size >= kRtuHeadSize && answer[0] == request.station() && answer[1] == request.code();
    return matches ? RtuStep::Done : RtuStep::Mismatch;
}

// True when the judge takes the answer as the request's, normally or as a refusal.
constexpr bool rtu_answer_belongs(RtuStep verdict) noexcept {
    return verdict == RtuStep::Done || verdict == RtuStep::Refused;
}

class RtuExchange {
public:
    // Begins the exchange of the request `frame` (station first, CRC last). `expected`: the
    // whole answer's size in bytes, station and CRC included, when the request fixes it;
    // otherwise the size rule of the request's function code gives it. `rule`: how the
    // answer must repeat the request; without one only the station and the function code
    // are compared, and the data part is the caller's to judge.
    void begin(const std::uint8_t* frame, std::size_t size, std::optional<std::size_t> expected = std::nullopt,
               std::optional<AnswerRule> rule = std::nullopt, bool open = false) {
        open_ = open && !expected;
        quiet_ = false;
        request_ = request_head(frame, size);
        pdu_.clear();
        if (size > 3) pdu_.assign(frame + 1, frame + size - 2);
        expected_ = expected;
        rule_ = rule;
        received_.clear();
        extent_ = 0;
    }

    // No answer comes to a broadcast (station 0) nor to code 8's force listen only mode.
    bool answer_expected() const noexcept {
        return request_.station() != 0 &&
               !(pdu_.size() > 0 && answer_size_of(pdu_.data(), pdu_.size()).rule == SizeRule::Nothing);
    }

    void feed(const std::uint8_t* data, std::size_t size) {
        received_.append(data, size);
        if (size) quiet_ = false;  // an open answer goes on
    }

    RtuStep step() {
        extent_ = 0;
        if (received_.size() < kRtuHeadSize) return want(kRtuHeadSize);
        const std::uint8_t* a = received_.data();
        if (a[1] >= kExceptionFlag) {
            extent_ = kRtuHeadSize;
            return judge_rtu_answer(request_, rule_, a, kRtuHeadSize, true);
        }
        // Master reads a device identification page piece by piece and judges its head
        // (station, function code, MEI type, read code) before it reads the objects' lengths.
        if (rule_ == AnswerRule::Identification && pdu_.size() >= 3 &&
            (a[0] != request_.station() || a[1] != request_.code() || a[2] != pdu_[1] || a[3] != pdu_[2])) {
            extent_ = kRtuHeadSize;
            return RtuStep::Mismatch;
        }
        if (open_ && !quiet_) return want(received_.size() + 1);  // until the line is quiet
        const std::size_t whole = whole_size();
        if (received_.size() < whole) return want(whole);
        extent_ = whole;
        return judge_rtu_answer(request_, rule_, a, whole, true);
    }

    // An open exchange: the line has gone quiet, what has come is the whole answer (judged
    // if it holds a frame's head at least).
    RtuStep quiet() {
        quiet_ = true;
        return step();
    }
    bool open() const noexcept { return open_; }

    // After Want: the least number of bytes the whole buffer must hold.
    std::size_t wanted() const noexcept { return wanted_; }
    // After any other step: the size of the answer at the buffer's start, CRC included.
    std::size_t extent() const noexcept { return extent_; }
    // The answer's PDU (function code first, no station, no CRC) after Done or Refused.
    const std::uint8_t* pdu() const noexcept { return received_.data() + 1; }
    std::size_t pdu_size() const noexcept { return extent_ >= 3 ? extent_ - 3 : 0; }
    // The exception code of a refusal.
    std::uint8_t exception_code() const noexcept { return received_.size() > 2 ? received_[2] : 0; }
    // What has been fed since begin().
    const ByteBuffer<kMaxPdu + 3>& received() const noexcept { return received_; }

private:
    RtuStep want(std::size_t total) noexcept {
        wanted_ = total;
        return RtuStep::Want;
    }

    // The whole answer's size once its head is in: the expected size, else what the size
    // rule of the request's function code reads from the answer (while the answer is not
    // all in, the least it can be). An answer of open length is what has come.
    std::size_t whole_size() const noexcept {
        if (expected_) return *expected_ < kRtuHeadSize ? kRtuHeadSize : *expected_;
        if (pdu_.empty() || open_) return received_.size();
        const AnswerSize size = answer_size_of(pdu_.data(), pdu_.size());
        if (size.rule == SizeRule::Open || size.rule == SizeRule::Nothing) return received_.size();
        const std::uint8_t* answer_pdu = received_.data() + 1;
        const std::size_t in = received_.size() - 1;  // after the station, the CRC not yet told apart
        std::size_t pdu_size = 1;
        for (std::size_t more = answer_more(size, answer_pdu, pdu_size); more;
             more = answer_more(size, answer_pdu, pdu_size)) {
            if (pdu_size + more > in) return 1 + pdu_size + more + 2;
            pdu_size += more;
        }
        return 1 + pdu_size + 2;
    }

    RequestHead request_;
    std::vector<std::uint8_t> pdu_;  // the request's PDU
    std::optional<std::size_t> expected_;
    std::optional<AnswerRule> rule_;
    ByteBuffer<kMaxPdu + 3> received_;
    std::size_t wanted_ = 0;
    std::size_t extent_ = 0;
    bool open_ = false;   // judged once the line is quiet
    bool quiet_ = false;  // ... and it is
};

// The longest recovery wait, as a multiple of the delay: a line that never falls quiet for
// the delay is given up on after this long, and the request goes out anyway.
inline constexpr double kRecoveryBound = 3.0;

// When the next request may go out on an RTU line, without a clock of its own (times are
// the caller's, in seconds): the silent interval after the line's last byte either way;
// after a transaction that did not end cleanly, a line quiet for the recovery delay (a byte
// heard meanwhile starts the quiet time again; given up kRecoveryBound times the delay
// after the next request was first ready); and any hold the caller asks for (the quiet
// time after a broadcast). One transaction at a time is the caller's rule: it asks only
// while no answer is awaited.
class RtuLine {
public:
    void set_silent_interval(double seconds) noexcept { silent_ = seconds > 0 ? seconds : 0; }
    double silent_interval() const noexcept { return silent_; }

    // A request's last byte was handed to the line at `t`: a recovery is over.
    void sent(double t) noexcept {
        last_ = std::max(last_, t);
        recovering_ = false;
        first_ready_ = -1;
    }
    // Bytes came at `t`.
    void heard(double t) noexcept { last_ = std::max(last_, t); }
    // The line stays quiet until `t`.
    void hold_until(double t) noexcept { hold_ = std::max(hold_, t); }
    // A transaction ended at `t` without a sound answer: the next request waits for a line
    // quiet for `delay` seconds (none when the delay is 0).
    void unclean(double t, double delay) noexcept {
        recovering_ = delay > 0;
        delay_ = delay;
        unclean_since_ = t;
        first_ready_ = -1;
    }
    bool recovering() const noexcept { return recovering_; }

    // The earliest time, at `t` or later, that the request ready at `t` may go out, if no
    // further byte comes: ask again when one does.
    double ready_at(double t) noexcept {
        double at = std::max({t, last_ + silent_, hold_});
        if (recovering_) {
            if (first_ready_ < 0) first_ready_ = t;
            const double quiet = std::max(unclean_since_, last_) + delay_;
            at = std::max(at, std::min(quiet, first_ready_ + kRecoveryBound * delay_));
        }
        return at;
    }

private:
    double silent_ = 0;
    double last_ = -1e300;  // the line's last byte either way
    double hold_ = -1e300;
    double delay_ = 0;
    double unclean_since_ = 0;
    double first_ready_ = -1;
    bool recovering_ = false;
};

}  // namespace brel::modbus
