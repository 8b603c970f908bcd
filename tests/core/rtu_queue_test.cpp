// Checks of the order of the calls on one RTU line, without I/O: `rtu_queue_test NAME` runs one case.
#include "cases.hpp"
#include "rtu_bytes.hpp"
#include "modbus/rtu_queue.hpp"

#include <cstdio>
#include <optional>
#include <vector>

using namespace brel::modbus;
using rtu_bytes::Bytes;
using rtu_bytes::frame;
using rtu_bytes::with_bad_crc;

namespace {

const Bytes kRead = frame(1, {0x03, 0x00, 0x00, 0x00, 0x02});
const Bytes kRegisters = frame(1, {0x03, 0x04, 0x12, 0x34, 0x56, 0x78});
const Bytes kReadOther = frame(1, {0x03, 0x00, 0x10, 0x00, 0x01});
const Bytes kOtherRegister = frame(1, {0x03, 0x02, 0xAB, 0xCD});
const Bytes kWrite = frame(1, {0x06, 0x00, 0x01, 0x00, 0x07});  // its answer is its echo
const Bytes kBroadcast = frame(0, {0x06, 0x00, 0x01, 0x00, 0x07});
const Bytes kRefusal = frame(1, {0x83, 0x02});

bool near(double a, double b) { return a - b < 1e-9 && b - a < 1e-9; }

// Sends the call next() names at `t`; its id.
std::uint64_t send_next(RtuQueue& q, double t, double timeout = 1.0) {
    const RtuNext n = q.next(t);
    CHECK(n.what == RtuNext::Do::Send);
    if (n.what != RtuNext::Do::Send) return 0;
    CHECK(!q.sent(n.id, t, timeout));
    return n.id;
}

std::optional<RtuOutcome> feed(RtuQueue& q, const Bytes& b, double t) { return q.received(b.data(), b.size(), t); }

void writes_go_before_waiting_reads() {
    RtuQueue q;
    const auto read1 = q.submit(kRead, false);
    const auto on_line = send_next(q, 0.0);
    CHECK(on_line == read1);
    const auto read2 = q.submit(kRead, false);
    const auto read3 = q.submit(kRead, false);
    const auto write1 = q.submit(kWrite, true);
    const auto write2 = q.submit(kWrite, true);
    CHECK(q.waiting() == 4);
    CHECK(feed(q, kRegisters, 0.1).has_value());  // the call on the line keeps its place
    std::vector<std::uint64_t> order;
    double t = 0.2;
    for (int i = 0; i < 4; ++i, t += 0.1) {
        order.push_back(send_next(q, t));
        CHECK(feed(q, i < 2 ? kWrite : kRegisters, t + 0.01).has_value());
    }
    CHECK(order == std::vector<std::uint64_t>({write1, write2, read2, read3}));
}

void one_call_on_the_line_at_a_time() {
    RtuQueue q;
    q.submit(kRead, false);
    q.submit(kRead, false);
    send_next(q, 0.0, 0.5);
    const RtuNext n = q.next(0.1);
    CHECK(n.what == RtuNext::Do::Wait);
    CHECK(near(n.at, 0.5));       // its deadline
    CHECK(!q.sent(2, 0.1, 0.5));  // refused while a call is on the line
    CHECK(q.busy());
    CHECK(q.waiting() == 1);
}

void answer_in_pieces_then_the_silent_interval() {
    RtuQueue q;
    q.line().set_silent_interval(0.004);
    const auto id = q.submit(kRead, false, 9, AnswerRule::RegisterBytes);
    q.submit(kRead, false);
    send_next(q, 1.0);
    CHECK(!feed(q, Bytes(kRegisters.begin(), kRegisters.begin() + 4), 1.01));
    const auto o = feed(q, Bytes(kRegisters.begin() + 4, kRegisters.end()), 1.02);
    CHECK(o && o->id == id && o->end == RtuEnd::Done && !o->abandoned);
    CHECK(q.answer() == Bytes({0x03, 0x04, 0x12, 0x34, 0x56, 0x78}));
    CHECK(q.answer_frame() == kRegisters);
    const RtuNext n = q.next(1.021);
    CHECK(n.what == RtuNext::Do::Wait);
    CHECK(near(n.at, 1.024));
    CHECK(q.next(1.024).what == RtuNext::Do::Send);
}

void refusal_carries_its_code() {
    RtuQueue q;
    q.submit(kRead, false);
    send_next(q, 0.0);
    const auto o = feed(q, kRefusal, 0.1);
    CHECK(o && o->end == RtuEnd::Refused && o->exception_code == 2);
    CHECK(!q.line().recovering());
}

void cancelled_waiting_call_is_never_sent() {
    RtuQueue q;
    const auto first = q.submit(kRead, false);
    const auto second = q.submit(kReadOther, false);
    q.cancel(first);
    CHECK(!q.queued(first));
    const RtuNext n = q.next(0.0);
    CHECK(n.what == RtuNext::Do::Send && n.id == second && *n.frame == kReadOther);
}

void abandoned_answer_is_dropped_before_the_next_call() {
    RtuQueue q;
    const auto first = q.submit(kRead, false);
    const auto second = q.submit(kReadOther, false);
    send_next(q, 0.0);
    q.cancel(first);
    CHECK(q.abandoned());
    CHECK(q.next(0.05).what == RtuNext::Do::Wait);  // the cancelled call still holds the line
    const auto dropped = feed(q, kRegisters, 0.1);
    CHECK(dropped && dropped->id == first && dropped->abandoned && dropped->end == RtuEnd::Done);
    CHECK(!q.line().recovering());  // its answer was sound: the line is clean
    CHECK(send_next(q, 0.2) == second);
    const auto o = feed(q, kOtherRegister, 0.3);
    CHECK(o && o->id == second && !o->abandoned && o->end == RtuEnd::Done);
    CHECK(q.answer() == Bytes({0x03, 0x02, 0xAB, 0xCD}));
}

void abandoned_call_ends_at_its_deadline() {
    RtuQueue q;
    q.set_recovery_delay(0.05);
    const auto first = q.submit(kRead, false);
    q.submit(kReadOther, false);
    send_next(q, 0.0, 0.5);
    q.cancel(first);
    CHECK(!q.expire(0.4));
    const auto o = q.expire(0.5);
    CHECK(o && o->id == first && o->abandoned && o->end == RtuEnd::TimedOut);
    CHECK(q.line().recovering());
    const RtuNext n = q.next(0.5);
    CHECK(n.what == RtuNext::Do::Wait && near(n.at, 0.55));
}

void faults_make_the_line_recover() {
    const std::vector<std::pair<Bytes, RtuEnd>> faults = {
        {with_bad_crc(kRegisters), RtuEnd::CrcError},
        {frame(2, {0x03, 0x04, 0x12, 0x34, 0x56, 0x78}), RtuEnd::Mismatch},  // another station
        {frame(1, {0x04, 0x04, 0x12, 0x34, 0x56, 0x78}), RtuEnd::Mismatch},  // another code
    };
    for (const auto& [answer, end] : faults) {
        RtuQueue q;
        q.set_recovery_delay(0.1);
        q.submit(kRead, false);
        send_next(q, 0.0);
        const auto o = feed(q, answer, 0.01);
        CHECK(o && o->end == end && !o->abandoned);
        CHECK(q.answer().empty());
        CHECK(q.answer_frame() == answer);
        CHECK(q.line().recovering());
    }
}

void short_answer_times_out() {
    RtuQueue q;
    q.submit(kRead, false);
    send_next(q, 0.0, 0.2);
    CHECK(!feed(q, Bytes(kRegisters.begin(), kRegisters.end() - 1), 0.05));
    CHECK(!q.expire(0.19));
    const auto o = q.expire(0.2);
    CHECK(o && o->end == RtuEnd::TimedOut && !o->abandoned);
    CHECK(!q.busy());
    CHECK(q.answer_frame().empty());
}

void broadcast_is_done_once_sent() {
    RtuQueue q;
    const auto id = q.submit(kBroadcast, true);
    const RtuNext n = q.next(0.0);
    CHECK(n.what == RtuNext::Do::Send);
    const auto o = q.sent(n.id, 0.0, 1.0);
    CHECK(o && o->id == id && o->end == RtuEnd::Unanswered);
    CHECK(!q.busy());
}

void stray_bytes_are_heard_and_dropped() {
    RtuQueue q;
    q.line().set_silent_interval(0.01);
    CHECK(!feed(q, kRegisters, 1.0));
    q.submit(kRead, false);
    const RtuNext n = q.next(1.0);
    CHECK(n.what == RtuNext::Do::Wait && near(n.at, 1.01));
    send_next(q, 1.01);
    const auto o = feed(q, kRegisters, 1.02);  // the stray bytes were not kept for this call
    CHECK(o && o->end == RtuEnd::Done);
}

void unsent_call_is_dropped() {
    RtuQueue q;
    const auto first = q.submit(kRead, false);
    const auto second = q.submit(kReadOther, false);
    q.unsent(q.next(0.0).id);
    CHECK(!q.queued(first));
    CHECK(q.next(0.0).id == second);
    CHECK(!q.busy());
}

void lost_line_ends_the_call_on_it() {
    RtuQueue q;
    q.set_recovery_delay(0.5);
    const auto read = q.submit(kRead, false);
    q.submit(kReadOther, false);
    send_next(q, 0.0, 10.0);
    q.cancel(read);
    const auto o = q.lost(0.1);  // long before its deadline
    CHECK(o && o->id == read && o->end == RtuEnd::TimedOut && o->abandoned);
    CHECK(!q.busy() && q.waiting() == 1);
    const RtuNext n = q.next(0.1);
    CHECK(n.what == RtuNext::Do::Wait && near(n.at, 0.6));
}

const Bytes kOpenRequest = frame(1, {0x41, 0x01});
const Bytes kOpenAnswer = frame(1, {0x41, 0x03, 0xAA, 0xBB, 0xCC});

// An open answer ends once the line has been quiet for the quiet time after its last byte
// (the silent interval, or the open quiet time when that is longer): what came is the answer.
void open_answer_is_judged_when_the_line_is_quiet() {
    for (const double silent : {0.004, 0.0}) {
        RtuQueue q;
        q.line().set_silent_interval(silent);
        q.set_open_quiet(0.02);
        const double quiet = silent > 0.02 ? silent : 0.02;
        const auto id = q.submit(kOpenRequest, false, std::nullopt, std::nullopt, true);
        send_next(q, 1.0);
        CHECK(!feed(q, Bytes(kOpenAnswer.begin(), kOpenAnswer.begin() + 6), 1.01));  // a sound head, more to come
        CHECK(near(q.next(1.01).at, 1.01 + quiet));
        CHECK(!q.expire(1.01 + quiet / 2));
        CHECK(!feed(q, Bytes(kOpenAnswer.begin() + 6, kOpenAnswer.end()), 1.015));  // the quiet time starts again
        CHECK(!q.expire(1.01 + quiet));
        CHECK(near(q.next(1.02).at, 1.015 + quiet));
        const auto o = q.expire(1.015 + quiet);
        CHECK(o && o->id == id && o->end == RtuEnd::Done);
        CHECK(q.answer_frame() == kOpenAnswer);
        CHECK(q.answer() == Bytes({0x41, 0x03, 0xAA, 0xBB, 0xCC}));
    }
}

// A refusal of an open request is judged at once; a quiet answer with a spoiled CRC or from
// another station ends so; fewer bytes than a frame's head wait for more, or the deadline.
void open_answer_outcomes() {
    const auto run = [](const Bytes& answer, std::optional<RtuEnd> at_once, std::optional<RtuEnd> when_quiet) {
        RtuQueue q;
        q.set_open_quiet(0.01);
        q.submit(kOpenRequest, false, std::nullopt, std::nullopt, true);
        send_next(q, 0.0, 0.5);
        const auto o = feed(q, answer, 0.1);
        CHECK(o.has_value() == at_once.has_value());
        if (o && at_once) CHECK(o->end == *at_once);
        if (o) return;
        const auto later = q.expire(0.11);
        CHECK(later.has_value() == when_quiet.has_value());
        if (later && when_quiet) CHECK(later->end == *when_quiet);
        if (!later) {
            CHECK(q.busy() && !q.expire(0.49));
            const auto end = q.expire(0.5);
            CHECK(end && end->end == RtuEnd::TimedOut);
        }
    };
    run(frame(1, {0xC1, 0x01}), RtuEnd::Refused, std::nullopt);
    run(with_bad_crc(kOpenAnswer), std::nullopt, RtuEnd::CrcError);
    run(frame(2, {0x41, 0x03, 0xAA, 0xBB, 0xCC}), std::nullopt, RtuEnd::Mismatch);
    run(frame(1, {0x42, 0x03, 0xAA, 0xBB, 0xCC}), std::nullopt, RtuEnd::Mismatch);
    run(Bytes(kOpenAnswer.begin(), kOpenAnswer.begin() + 4), std::nullopt, std::nullopt);
}

// On a line that echoes, the request's bytes come first: whole and equal, the answer's
// time-out starts then; otherwise EchoError with what came, at once or at the deadline
// (the time-out plus the frame's time on the line).
void echo_is_read_before_the_answer() {
    {
        RtuQueue q;
        q.set_echo(0.001);
        const auto id = q.submit(kRead, false);
        send_next(q, 0.0, 0.5);
        CHECK(q.echo_left() == kRead.size());
        CHECK(!feed(q, Bytes(kRead.begin(), kRead.begin() + 3), 0.1));
        CHECK(!q.expire(0.5));  // the deadline counts the frame's time on the line
        CHECK(!feed(q, Bytes(kRead.begin() + 3, kRead.end()), 0.505));
        CHECK(q.echo_left() == 0);
        CHECK(!q.expire(1.0));  // the answer's time-out from the echo's end
        const auto end = q.expire(1.005);
        CHECK(end && end->id == id && end->end == RtuEnd::TimedOut);
    }
    {
        RtuQueue q;
        q.set_echo(0.001);
        const auto id = q.submit(kRead, false);
        send_next(q, 0.0, 0.5);
        Bytes both = kRead;
        both.insert(both.end(), kRegisters.begin(), kRegisters.end());
        const auto o = feed(q, both, 0.1);  // the echo and the answer in one piece
        CHECK(o && o->id == id && o->end == RtuEnd::Done && q.answer_frame() == kRegisters);
    }
    const auto failing = [](const Bytes& echo, double at, const Bytes& kept) {
        RtuQueue q;
        q.set_echo(0.001);
        q.set_recovery_delay(0.2);
        q.submit(kRead, false);
        send_next(q, 0.0, 0.5);
        auto o = feed(q, echo, 0.1);
        if (!o) o = q.expire(at);
        CHECK(o && o->end == RtuEnd::EchoError && q.echo() == kept);
        CHECK(q.line().recovering());
    };
    failing(with_bad_crc(kRead), 0.0, with_bad_crc(kRead));
    failing(Bytes(kRead.begin(), kRead.begin() + 3), 0.5 + 0.001 * kRead.size(), Bytes(kRead.begin(), kRead.begin() + 3));
    failing(Bytes(), 0.5 + 0.001 * kRead.size(), Bytes());
}

const core_checks::Cases kCases = {
    {"writes_go_before_waiting_reads", writes_go_before_waiting_reads},
    {"one_call_on_the_line_at_a_time", one_call_on_the_line_at_a_time},
    {"answer_in_pieces_then_the_silent_interval", answer_in_pieces_then_the_silent_interval},
    {"refusal_carries_its_code", refusal_carries_its_code},
    {"cancelled_waiting_call_is_never_sent", cancelled_waiting_call_is_never_sent},
    {"abandoned_answer_is_dropped_before_the_next_call", abandoned_answer_is_dropped_before_the_next_call},
    {"abandoned_call_ends_at_its_deadline", abandoned_call_ends_at_its_deadline},
    {"faults_make_the_line_recover", faults_make_the_line_recover},
    {"short_answer_times_out", short_answer_times_out},
    {"broadcast_is_done_once_sent", broadcast_is_done_once_sent},
    {"stray_bytes_are_heard_and_dropped", stray_bytes_are_heard_and_dropped},
    {"unsent_call_is_dropped", unsent_call_is_dropped},
    {"lost_line_ends_the_call_on_it", lost_line_ends_the_call_on_it},
    {"open_answer_is_judged_when_the_line_is_quiet", open_answer_is_judged_when_the_line_is_quiet},
    {"open_answer_outcomes", open_answer_outcomes},
    {"echo_is_read_before_the_answer", echo_is_read_before_the_answer},
};

}  // namespace

int main(int argc, char** argv) { return core_checks::run_cases(argc, argv, kCases); }
