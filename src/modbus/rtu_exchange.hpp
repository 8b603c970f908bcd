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
// the size rule knows is what has come: feed it once the line has gone quiet. A short answer is never an outcome here:
// the caller's time-out ends it. Plain C++ without the interpreter.
#pragma once

#include "modbus/frames.hpp"

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

class RtuExchange {
public:
    // Begins the exchange of the request `frame` (station first, CRC last). `expected`: the
    // whole answer's size in bytes, station and CRC included, when the request fixes it;
    // otherwise the size rule of the request's function code gives it. `rule`: how the
    // answer must repeat the request; without one only the station and the function code
    // are compared, and the data part is the caller's to judge.
    void begin(const std::uint8_t* frame, std::size_t size, std::optional<std::size_t> expected = std::nullopt,
               std::optional<AnswerRule> rule = std::nullopt) {
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

    void feed(const std::uint8_t* data, std::size_t size) { received_.insert(received_.end(), data, data + size); }

    RtuStep step() {
        extent_ = 0;
        if (received_.size() < kRtuHeadSize) return want(kRtuHeadSize);
        const std::uint8_t* a = received_.data();
        if (a[1] >= kExceptionFlag) {
            extent_ = kRtuHeadSize;
            if (!crc16_frame_ok(a, kRtuHeadSize)) return RtuStep::CrcError;
            if (a[0] != request_.station() || a[1] != (request_.code() | kExceptionFlag)) return RtuStep::Mismatch;
            return RtuStep::Refused;
        }
        const std::size_t whole = whole_size();
        if (received_.size() < whole) return want(whole);
        extent_ = whole;
        if (!crc16_frame_ok(a, whole)) return RtuStep::CrcError;
        if (rule_ ? !rtu_answer_matches(request_, *rule_, a, whole)
                  : a[0] != request_.station() || a[1] != request_.code())
            return RtuStep::Mismatch;
        return RtuStep::Done;
    }

    // After Want: the least number of bytes the whole buffer must hold.
    std::size_t wanted() const noexcept { return wanted_; }
    // After any other step: the size of the answer at the buffer's start, CRC included.
    std::size_t extent() const noexcept { return extent_; }
    // The answer's PDU (function code first, no station, no CRC) after Done or Refused.
    const std::uint8_t* pdu() const noexcept { return received_.data() + 1; }
    std::size_t pdu_size() const noexcept { return extent_ >= 3 ? extent_ - 3 : 0; }
    // The exception code of a refusal.
    std::uint8_t exception_code() const noexcept { return received_.size() > 2 ? received_[2] : 0; }
    const std::vector<std::uint8_t>& received() const noexcept { return received_; }

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
        if (pdu_.empty()) return received_.size();
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
    std::vector<std::uint8_t> received_;
    std::size_t wanted_ = 0;
    std::size_t extent_ = 0;
};

}  // namespace brel::modbus
