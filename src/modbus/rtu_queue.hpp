// The order of the calls on one RTU line, without I/O: what an event loop's RTU link asks
// what to do next.
//
// Calls are queued in the order they are made, except that a write goes before the reads
// that wait (never before the call on the line). One call is on the line at a time: the
// next goes out when the line allows (RtuLine: the silent interval, the recovery quiet
// time, a hold) and only once the call on the line has ended. What the line brings is fed
// to the RtuExchange of the call on the line; bytes that come while no call is on the line
// are heard (they restart the silent interval) and dropped. A call ends with its answer
// judged (Done, Refused, CrcError, Mismatch), with no answer to wait for (a broadcast, or
// code 8's listen only mode), or at its deadline. A call cancelled while it waits is
// forgotten; one cancelled on the line stays there, abandoned, until its answer is whole or
// its deadline passes, and its end is reported as abandoned for the caller to drop: the
// next call never takes its answer. A call that ends without a sound answer (a CRC error,
// a mismatch, a time-out, abandoned or not) makes the line recover for the recovery delay.
// A call submitted `open` (an answer whose length only its reader can tell) is judged once
// the line has been quiet for the quiet time after its last byte (the silent interval, or
// the open quiet time when that is longer): next() names that time, and expire() judges.
// On a line that echoes (a two-wire adapter whose receiver hears its own transmitter) the
// first bytes after a request are its echo: the request's size of them must be the request
// (else EchoError), within the time-out plus the frame's time on the line; the answer's
// time-out starts once the echo is whole. A broadcast's echo is heard and dropped.
// Times are the caller's, in seconds. Plain C++ without the interpreter.
#pragma once

#include "modbus/rtu_exchange.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace brel::modbus {

enum class RtuEnd : std::uint8_t {
    Done,        // a sound answer: RtuQueue::answer()
    Refused,     // a sound exception answer: its code in RtuOutcome::exception_code
    CrcError,    // the answer's CRC is wrong
    Mismatch,    // a sound frame that does not answer the request
    TimedOut,    // the deadline passed before the answer was whole
    Unanswered,  // no answer is expected (a broadcast): done once sent
    EchoError,   // the line's echo of the request was not the request: RtuQueue::echo()
};

struct RtuOutcome {
    std::uint64_t id = 0;
    RtuEnd end = RtuEnd::Done;
    bool abandoned = false;  // cancelled on the line: drop it
    std::uint8_t exception_code = 0;
};

// What the caller does now: send the call `id` (its frame), or wait until `at` (a time-out
// or the line's readiness: ask again then, or when bytes come), or nothing (no call waits).
struct RtuNext {
    enum class Do : std::uint8_t { Nothing, Send, Wait } what = Do::Nothing;
    std::uint64_t id = 0;
    const std::vector<std::uint8_t>* frame = nullptr;
    double at = 0;
};

class RtuQueue {
public:
    RtuLine& line() noexcept { return line_; }
    void set_recovery_delay(double seconds) noexcept { recovery_ = seconds > 0 ? seconds : 0; }
    // The line echoes each request; `byte_time`: seconds a byte takes on the line.
    void set_echo(double byte_time) noexcept {
        echo_on_ = true;
        byte_time_ = byte_time > 0 ? byte_time : 0;
    }
    // The least quiet time that ends an open answer (a line without a silent interval of its own).
    void set_open_quiet(double seconds) noexcept { open_quiet_ = seconds > 0 ? seconds : 0; }

    // Queues the request `frame` (station first, CRC last); `write`: it changes the
    // device and goes before the waiting reads. `expected` and `rule` as RtuExchange::begin.
    std::uint64_t submit(std::vector<std::uint8_t> frame, bool write,
                         std::optional<std::size_t> expected = std::nullopt,
                         std::optional<AnswerRule> rule = std::nullopt, bool open = false) {
        Call c{++last_id_, std::move(frame), expected, rule, write, open};
        auto at = waiting_.end();
        if (write) at = std::find_if(waiting_.begin(), waiting_.end(), [](const Call& w) { return !w.write; });
        waiting_.insert(at, std::move(c));
        return last_id_;
    }

    // The call `id` is no longer wanted: forgotten while it waits, abandoned on the line.
    void cancel(std::uint64_t id) {
        if (on_line_ && on_line_->id == id) {
            abandoned_ = true;
            return;
        }
        std::erase_if(waiting_, [id](const Call& c) { return c.id == id; });
    }

    bool busy() const noexcept { return on_line_.has_value(); }
    // The call on the line (ids start at 1), 0 for none.
    std::uint64_t on_line() const noexcept { return on_line_ ? on_line_->id : 0; }
    bool abandoned() const noexcept { return on_line_ && abandoned_; }
    std::size_t waiting() const noexcept { return waiting_.size(); }
    bool queued(std::uint64_t id) const noexcept {
        return (on_line_ && on_line_->id == id) ||
               std::any_of(waiting_.begin(), waiting_.end(), [id](const Call& c) { return c.id == id; });
    }

    RtuNext next(double t) {
        RtuNext n;
        if (on_line_) {
            n.what = RtuNext::Do::Wait;
            n.at = quiet_at_ > 0 ? std::min(deadline_, quiet_at_) : deadline_;
            return n;
        }
        if (waiting_.empty()) return n;
        const double at = line_.ready_at(t);
        n.id = waiting_.front().id;
        n.frame = &waiting_.front().frame;
        n.at = at;
        n.what = at > t ? RtuNext::Do::Wait : RtuNext::Do::Send;
        return n;
    }

    // The frame of the waiting call `id` (the one next() said to send) went out whole at
    // `t`; its answer is awaited for `timeout` seconds. The call's end when no answer comes
    // to it.
    std::optional<RtuOutcome> sent(std::uint64_t id, double t, double timeout) {
        auto it = std::find_if(waiting_.begin(), waiting_.end(), [id](const Call& c) { return c.id == id; });
        if (it == waiting_.end() || on_line_) return std::nullopt;
        on_line_ = std::move(*it);
        waiting_.erase(it);
        abandoned_ = false;
        line_.sent(t);
        deadline_ = t + timeout;
        quiet_at_ = 0;
        echo_.clear();
        echo_left_ = 0;
        if (echo_on_) {
            echo_left_ = on_line_->frame.size();
            answer_timeout_ = timeout;
            deadline_ += static_cast<double>(echo_left_) * byte_time_;
        }
        exchange_.begin(on_line_->frame.data(), on_line_->frame.size(), on_line_->expected, on_line_->rule,
                        on_line_->open);
        if (exchange_.answer_expected()) return std::nullopt;
        return end(RtuEnd::Unanswered, t);
    }

    // The frame of the call `id` could not go out: that call is dropped.
    void unsent(std::uint64_t id) { cancel(id); }

    // Bytes came at `t`: the end of the call on the line, once its answer is judged.
    std::optional<RtuOutcome> received(const std::uint8_t* data, std::size_t size, double t) {
        line_.heard(t);
        if (!on_line_ || size == 0) return std::nullopt;  // stray bytes
        if (echo_left_ > 0) {
            const std::size_t n = std::min(size, echo_left_);
            echo_.insert(echo_.end(), data, data + n);
            echo_left_ -= n;
            data += n;
            size -= n;
            if (echo_left_ == 0) {
                if (echo_ != on_line_->frame) return end(RtuEnd::EchoError, t);
                deadline_ = t + answer_timeout_;
            }
            if (size == 0) return std::nullopt;
        }
        exchange_.feed(data, size);
        return judged(exchange_.step(), t);
    }

    // At `t`: the end of the call on the line when its deadline has passed, or when its open
    // answer has been followed by the quiet time.
    std::optional<RtuOutcome> expire(double t) {
        if (!on_line_) return std::nullopt;
        if (quiet_at_ > 0 && t >= quiet_at_) {
            if (auto o = judged(exchange_.quiet(), t)) return o;
            quiet_at_ = 0;  // not even a frame's head: more bytes, or the deadline
        }
        if (t < deadline_) return std::nullopt;
        return end(echo_left_ > 0 ? RtuEnd::EchoError : RtuEnd::TimedOut, t);
    }

    // The line itself went away at `t` (a connection closed): the call on the line ends now,
    // as at its deadline, and the line recovers before the next one.
    std::optional<RtuOutcome> lost(double t) {
        if (!on_line_) return std::nullopt;
        return end(RtuEnd::TimedOut, t);
    }

    // Bytes of a call's request still due as its echo (0 once it is whole, or on a line
    // without one), and what came of the echo (after EchoError: all of it).
    std::size_t echo_left() const noexcept { return echo_left_; }
    const std::vector<std::uint8_t>& echo() const noexcept { return echo_; }

    // After Done or Refused: the answer's PDU (function code first) and the whole frame.
    const std::vector<std::uint8_t>& answer() const noexcept { return answer_pdu_; }
    const std::vector<std::uint8_t>& answer_frame() const noexcept { return answer_frame_; }

private:
    struct Call {
        std::uint64_t id = 0;
        std::vector<std::uint8_t> frame;
        std::optional<std::size_t> expected;
        std::optional<AnswerRule> rule;
        bool write = false;
        bool open = false;
    };

    // What a step of the exchange at `t` makes of the call on the line: its end, or none
    // while its answer is wanted (an open one then waits for the quiet time).
    std::optional<RtuOutcome> judged(RtuStep step, double t) {
        switch (step) {
            case RtuStep::Want:
                if (exchange_.open() && !exchange_.received().empty())
                    quiet_at_ = t + std::max(line_.silent_interval(), open_quiet_);
                return std::nullopt;
            case RtuStep::Done:
                return end(RtuEnd::Done, t);
            case RtuStep::Refused:
                return end(RtuEnd::Refused, t);
            case RtuStep::CrcError:
                return end(RtuEnd::CrcError, t);
            case RtuStep::Mismatch:
                return end(RtuEnd::Mismatch, t);
        }
        return std::nullopt;
    }

    RtuOutcome end(RtuEnd how, double t) {
        RtuOutcome o{on_line_->id, how, abandoned_, 0};
        answer_pdu_.clear();
        answer_frame_.clear();
        if (how != RtuEnd::TimedOut && how != RtuEnd::Unanswered && how != RtuEnd::EchoError) {
            const auto& got = exchange_.received();
            answer_frame_.assign(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(exchange_.extent()));
        }
        if (how == RtuEnd::Done || how == RtuEnd::Refused)
            answer_pdu_.assign(exchange_.pdu(), exchange_.pdu() + exchange_.pdu_size());
        if (how == RtuEnd::Refused) o.exception_code = exchange_.exception_code();
        if (how == RtuEnd::CrcError || how == RtuEnd::Mismatch || how == RtuEnd::TimedOut || how == RtuEnd::EchoError)
            line_.unclean(t, recovery_);
        echo_left_ = 0;
        on_line_.reset();
        abandoned_ = false;
        quiet_at_ = 0;
        return o;
    }

    RtuLine line_;
    RtuExchange exchange_;
    std::deque<Call> waiting_;
    std::optional<Call> on_line_;
    std::vector<std::uint8_t> answer_pdu_, answer_frame_;
    bool abandoned_ = false;
    double deadline_ = 0;
    double recovery_ = 0;
    double open_quiet_ = 0;
    bool echo_on_ = false;
    double byte_time_ = 0;
    double answer_timeout_ = 0;
    std::size_t echo_left_ = 0;
    std::vector<std::uint8_t> echo_;
    double quiet_at_ = 0;  // the call on the line is open and its answer ends, if quiet till then
    std::uint64_t last_id_ = 0;
};

}  // namespace brel::modbus
