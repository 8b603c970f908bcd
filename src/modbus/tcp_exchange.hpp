// The Modbus TCP exchange without I/O: judges the bytes of one answer against its request.
//
// The caller sends the request, then feeds what the connection brings into the exchange's
// buffer and asks step() what it makes of it, h11-style: the exchange never reads, writes
// or waits. It wants the MBAP header and function code first, then the rest the header
// declares. An answer that carries the identifiers of one of the master's recent requests
// (a late answer to a request that timed out, a slave's copy of an answer already taken)
// is wanted whole by its length and dropped; the exchange then wants this request's answer
// again. The end is one of: the data, a refusal (exception answer), or a mismatch of the
// identifiers, the declared length or the function code. Plain C++ without the interpreter.
#pragma once

#include "modbus/byte_buffer.hpp"
#include "modbus/frames.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace brel::modbus {

// The transaction and unit identifiers of the requests a master sent last, answered or
// not, so that an answer that comes again is recognised. The most recent few are kept.
class RecentRequests {
public:
    static constexpr std::size_t kKept = 16;

    // Remembered in place of the oldest one kept.
    void remember(std::uint16_t transaction, std::uint8_t unit) noexcept {
        ring_[next_] = {transaction, unit};
        next_ = (next_ + 1) % kKept;
        if (count_ < kKept) ++count_;
    }
    bool holds(std::uint16_t transaction, std::uint8_t unit) const noexcept {
        for (std::size_t i = 0; i < count_; ++i)
            if (ring_[i].transaction == transaction && ring_[i].unit == unit) return true;
        return false;
    }

private:
    struct Entry {
        std::uint16_t transaction;
        std::uint8_t unit;
    };
    std::array<Entry, kKept> ring_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;  // where the next one goes
};

// The bytes of one answer: in place up to the longest normal answer, on the heap beyond.
using AnswerBuffer = ByteBuffer<kMbapSize + kMaxPdu + 8>;

// The comparisons with a request the exchange cannot read as a whole frame of bytes (a
// replaced builder may make any object): made by the caller, the way it compares objects.
class RequestJudge {
public:
    // `head`: the answer's first 8 bytes (MBAP header, function code).
    virtual bool same_ids(const std::uint8_t* head) const = 0;
    virtual bool same_code(std::uint8_t code) const = 0;
    // code is the request's function code with bit 7 set.
    virtual bool refused_by(std::uint8_t code) const = 0;

protected:
    ~RequestJudge() = default;
};

// What step() makes of the buffer.
enum class TcpStep : std::uint8_t {
    Want,            // more bytes: the buffer must hold wanted() before the next step
    Skipped,         // an answer to a recent request was dropped; what followed it is at the front
    Done,            // the answer: data(), data_size()
    Refused,         // an exception answer to the request: unit(), code(), refusal()
    IdsMismatch,     // transaction, protocol or unit identifier not the request's
    LengthMismatch,  // declared length not the one the request calls for
    CodeMismatch,    // function code not the request's
};

// One request's exchange, on the recent requests of its master.
class TcpExchange {
public:
    explicit TcpExchange(RecentRequests& recent) noexcept : recent_(recent) {}
    TcpExchange(const TcpExchange&) = delete;
    TcpExchange& operator=(const TcpExchange&) = delete;

    // `frame`, `size`: the request (MBAP header, PDU) when it is bytes, else null; `judge`
    // compares in its place when it is not bytes of at least 8 (required then). `needed`:
    // the bytes after the function code the request calls for, when it says (a value
    // beyond 16 bits never matches).
    void begin(const std::uint8_t* frame, std::size_t size, const RequestJudge* judge,
               std::optional<long long> needed) noexcept {
        frame_ = frame;
        judge_ = frame && size >= kTcpAnswerHead ? nullptr : judge;
        trackable_ = frame && size >= kMbapSize;
        needed_ = needed;
        room_ = kTcpAnswerHead + 1;
        if (needed && *needed > 0 && *needed <= 0xFFFF) room_ += static_cast<std::size_t>(*needed);
        phase_ = Phase::Head;
        left_ = 0;
        extent_ = 0;
    }

    AnswerBuffer& buffer() noexcept { return buffer_; }
    const AnswerBuffer& buffer() const noexcept { return buffer_; }
    // Bytes the buffer must hold before step() can go on.
    std::size_t wanted() const noexcept {
        return phase_ == Phase::Skip ? whole_ : phase_ == Phase::Body ? kTcpAnswerHead + left_ : kTcpAnswerHead;
    }
    // The whole answer the request calls for and one byte more: a stream that takes
    // whatever has come may ask for that much at once, and so see a stray byte beyond it.
    std::size_t room() const noexcept { return room_; }
    // True while a recent request's answer is being read to be dropped.
    bool skipping() const noexcept { return phase_ == Phase::Skip; }

    // Judges what the buffer holds; call again after Want (once more bytes came) and
    // after Skipped. Throws only what the judge throws.
    TcpStep step() {
        for (;;) {
            switch (phase_) {
                case Phase::Head: {
                    if (buffer_.size() < kTcpAnswerHead) return TcpStep::Want;
                    const std::uint8_t* head = buffer_.data();
                    const bool ids = same_ids(head);
                    if (!ids && trackable_ && late(head)) {
                        whole_ = kMbapSize - 1 + get16(head + 4);
                        phase_ = Phase::Skip;
                        continue;
                    }
                    unit_ = head[6];
                    code_ = head[7];
                    left_ = mbap_remaining(head);
                    if (!ids) return end(TcpStep::IdsMismatch);
                    if (left_ > 0) {
                        phase_ = Phase::Body;
                        continue;
                    }
                    return end(judge());
                }
                case Phase::Skip:
                    if (buffer_.size() < whole_) return TcpStep::Want;
                    buffer_.drop_front(whole_);
                    phase_ = Phase::Head;
                    return TcpStep::Skipped;
                case Phase::Body:
                    if (buffer_.size() < kTcpAnswerHead + static_cast<std::size_t>(left_)) return TcpStep::Want;
                    return end(judge());
                case Phase::Ended:
                    return outcome_;
            }
        }
    }

    // The request went out: remember it, answered or not, so that its answer is known if it
    // comes again (or late).
    void settle() noexcept {
        if (trackable_) recent_.remember(get16(frame_), frame_[6]);
    }

    // Once ended: the bytes of the buffer that make the answer judged (the header; with the
    // declared rest when there is one). Bytes beyond them came unasked: the stream is unclean.
    std::size_t extent() const noexcept { return extent_; }
    bool trailing() const noexcept { return buffer_.size() > extent_; }
    // The data after the function code (Done), empty for a declared length below 3.
    const std::uint8_t* data() const noexcept { return buffer_.data() + kTcpAnswerHead; }
    std::size_t data_size() const noexcept { return left_ > 0 ? static_cast<std::size_t>(left_) : 0; }
    std::uint8_t unit() const noexcept { return unit_; }
    std::uint8_t code() const noexcept { return code_; }
    std::uint8_t refusal() const noexcept { return buffer_.data()[kTcpAnswerHead]; }  // Refused only

private:
    enum class Phase : std::uint8_t { Head, Skip, Body, Ended };

    bool same_ids(const std::uint8_t* head) const {
        return judge_ ? judge_->same_ids(head) : mbap_same_ids(head, frame_);
    }

    // An answer to one of the master's recent requests: same protocol identifier as this
    // request, a length a Modbus answer can have, and the identifiers of a recent request.
    bool late(const std::uint8_t* head) const noexcept {
        const std::size_t length = get16(head + 4);
        return get16(head + 2) == get16(frame_ + 2) && length >= 2 && length <= kMaxPdu + 1 &&
               recent_.holds(get16(head), head[6]);
    }

    // The whole answer is here: exception answer first, then the length, then the code.
    TcpStep judge() const {
        if (left_ == 1 && code_ >= kExceptionFlag &&
            (judge_ ? judge_->refused_by(code_) : (frame_[7] | kExceptionFlag) == code_))
            return TcpStep::Refused;
        if (needed_ && *needed_ != left_) return TcpStep::LengthMismatch;
        if (!(judge_ ? judge_->same_code(code_) : frame_[7] == code_)) return TcpStep::CodeMismatch;
        return TcpStep::Done;
    }

    TcpStep end(TcpStep outcome) noexcept {
        extent_ = outcome == TcpStep::IdsMismatch || left_ <= 0 ? kTcpAnswerHead
                                                                : kTcpAnswerHead + static_cast<std::size_t>(left_);
        phase_ = Phase::Ended;
        outcome_ = outcome;
        return outcome;
    }

    RecentRequests& recent_;
    AnswerBuffer buffer_;
    const std::uint8_t* frame_ = nullptr;
    const RequestJudge* judge_ = nullptr;
    std::optional<long long> needed_;
    std::size_t room_ = kTcpAnswerHead + 1;
    std::size_t whole_ = 0;   // Skip: the late answer's size
    std::size_t extent_ = 0;  // Ended: the answer's bytes in the buffer
    long left_ = 0;           // bytes declared after the function code
    Phase phase_ = Phase::Head;
    TcpStep outcome_ = TcpStep::Want;
    bool trackable_ = false;
    std::uint8_t unit_ = 0;
    std::uint8_t code_ = 0;
};

}  // namespace brel::modbus
