// Checks of the Modbus RTU exchange without I/O, fed byte sequences, and of the line's timing: `rtu_exchange_test NAME`
// runs one case.
#include "cases.hpp"
#include "rtu_bytes.hpp"
#include "modbus/rtu_exchange.hpp"

#include <cstdio>
#include <optional>
#include <vector>

using namespace brel::modbus;
using rtu_bytes::Bytes;
using rtu_bytes::frame;
using rtu_bytes::with_bad_crc;

namespace {

const char* name_of(RtuStep s) {
    switch (s) {
        case RtuStep::Want:
            return "Want";
        case RtuStep::Done:
            return "Done";
        case RtuStep::Refused:
            return "Refused";
        case RtuStep::CrcError:
            return "CrcError";
        case RtuStep::Mismatch:
            return "Mismatch";
    }
    return "?";
}

#define CHECK_STEP(got, want)                                                                                   \
    do {                                                                                                        \
        const RtuStep g = (got);                                                                                \
        if (g != (want)) {                                                                                      \
            std::fprintf(stderr, "%s:%d: step %s, wanted %s\n", __FILE__, __LINE__, name_of(g), name_of(want)); \
            ++core_checks::failures;                                                                            \
        }                                                                                                       \
    } while (0)

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

const Bytes kRead = frame(1, {0x03, 0x00, 0x00, 0x00, 0x02});             // two holding registers
const Bytes kRegisters = frame(1, {0x03, 0x04, 0x12, 0x34, 0x56, 0x78});  // their answer

struct Run {
    RtuStep end = RtuStep::Want;
    std::size_t fed = 0;              // bytes fed when the step ended
    std::vector<std::size_t> wanted;  // wanted() after each Want
};

// Feeds `bytes` one at a time, stepping after each, until a step other than Want.
Run feed(RtuExchange& x, const Bytes& bytes) {
    Run run;
    for (std::uint8_t b : bytes) {
        x.feed(&b, 1);
        ++run.fed;
        run.end = x.step();
        if (run.end != RtuStep::Want) return run;
        run.wanted.push_back(x.wanted());
    }
    return run;
}

RtuExchange begun(const Bytes& request, std::optional<std::size_t> expected = std::nullopt,
                  std::optional<AnswerRule> rule = std::nullopt) {
    RtuExchange x;
    x.begin(request.data(), request.size(), expected, rule);
    return x;
}

void whole_answer_byte_by_byte() {
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    const Run run = feed(x, kRegisters);
    CHECK_STEP(run.end, RtuStep::Done);
    CHECK(run.fed == kRegisters.size());
    CHECK(x.extent() == 9);
    CHECK(x.pdu_size() == 6);
    CHECK(Bytes(x.pdu(), x.pdu() + x.pdu_size()) == Bytes({0x03, 0x04, 0x12, 0x34, 0x56, 0x78}));
}

void byte_count_tells_the_length() {
    RtuExchange x = begun(kRead);  // no expected size: the byte count decides
    const Run run = feed(x, kRegisters);
    CHECK_STEP(run.end, RtuStep::Done);
    CHECK(run.wanted.front() == kRtuHeadSize);
    CHECK(run.wanted.back() == 9);  // once the head is in
}

void expected_size_waits_past_a_short_count() {
    // The slave announces one register where two were asked: a sound frame, but shorter
    // than the answer the request fixes; the exchange waits (the time-out ends it).
    const Bytes short_answer = frame(1, {0x03, 0x02, 0x12, 0x34});
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    const Run run = feed(x, short_answer);
    CHECK_STEP(run.end, RtuStep::Want);
    CHECK(x.wanted() == 9);
    // Without an expected size it is whole, and does not answer the request.
    RtuExchange y = begun(kRead, std::nullopt, AnswerRule::RegisterBytes);
    CHECK_STEP(feed(y, short_answer).end, RtuStep::Mismatch);
}

void refused() {
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    const Run run = feed(x, concat(frame(1, {0x83, 0x02}), {0xAA}));
    CHECK_STEP(run.end, RtuStep::Refused);
    CHECK(run.fed == 5);
    CHECK(x.extent() == 5);
    CHECK(x.exception_code() == 2);
}

void refusal_judged_by_crc_then_request() {
    RtuExchange x = begun(kRead, 9);
    CHECK_STEP(feed(x, with_bad_crc(frame(1, {0x83, 0x02}))).end, RtuStep::CrcError);
    RtuExchange y = begun(kRead, 9);
    CHECK_STEP(feed(y, frame(2, {0x83, 0x02})).end, RtuStep::Mismatch);  // another station
    RtuExchange z = begun(kRead, 9);
    CHECK_STEP(feed(z, frame(1, {0x84, 0x02})).end, RtuStep::Mismatch);  // another function
}

void crc_error_before_mismatch() {
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    CHECK_STEP(feed(x, with_bad_crc(frame(2, {0x03, 0x04, 0x12, 0x34, 0x56, 0x78}))).end, RtuStep::CrcError);
    CHECK(x.extent() == 9);
}

void wrong_station_or_code() {
    for (const bool ruled : {false, true}) {
        const auto rule = ruled ? std::optional(AnswerRule::RegisterBytes) : std::nullopt;
        RtuExchange x = begun(kRead, 9, rule);
        CHECK_STEP(feed(x, frame(2, {0x03, 0x04, 0x12, 0x34, 0x56, 0x78})).end, RtuStep::Mismatch);
        RtuExchange y = begun(kRead, 9, rule);
        CHECK_STEP(feed(y, frame(1, {0x04, 0x04, 0x12, 0x34, 0x56, 0x78})).end, RtuStep::Mismatch);
    }
}

void echo_rule_compares_the_fields() {
    const Bytes write = frame(1, {0x06, 0x00, 0x10, 0x00, 0x07});
    RtuExchange x = begun(write, 8, AnswerRule::Echo);
    CHECK_STEP(feed(x, write).end, RtuStep::Done);
    RtuExchange y = begun(write, 8, AnswerRule::Echo);
    CHECK_STEP(feed(y, frame(1, {0x06, 0x00, 0x10, 0x00, 0x08})).end, RtuStep::Mismatch);
    RtuExchange z = begun(write, 8);  // without a rule only station and code count
    CHECK_STEP(feed(z, frame(1, {0x06, 0x00, 0x10, 0x00, 0x08})).end, RtuStep::Done);
}

// The judge on whole frames, as the synchronous Master asks it after its steps read the
// answer and checked its CRC.
RtuStep judged(const Bytes& request, std::optional<AnswerRule> rule, const Bytes& answer, bool check_crc) {
    return judge_rtu_answer(request_head(request.data(), request.size() - 2), rule, answer.data(), answer.size(),
                            check_crc);
}

void judge_of_whole_frames() {
    const Bytes write = frame(1, {0x06, 0x00, 0x10, 0x00, 0x07});
    CHECK_STEP(judged(kRead, AnswerRule::RegisterBytes, kRegisters, true), RtuStep::Done);
    CHECK_STEP(judged(kRead, AnswerRule::RegisterBytes, with_bad_crc(kRegisters), true), RtuStep::CrcError);
    // a CRC already checked by the caller is not looked at again
    CHECK_STEP(judged(kRead, AnswerRule::RegisterBytes, with_bad_crc(kRegisters), false), RtuStep::Done);
    CHECK_STEP(judged(kRead, AnswerRule::BitBytes, kRegisters, false), RtuStep::Mismatch);
    for (const auto& rule :
         {std::optional(AnswerRule::RegisterBytes), std::optional(AnswerRule::Echo), std::optional<AnswerRule>()}) {
        CHECK_STEP(judged(kRead, rule, frame(1, {0x83, 0x02}), false), RtuStep::Refused);
        CHECK_STEP(judged(kRead, rule, frame(2, {0x83, 0x02}), false), RtuStep::Mismatch);
        CHECK_STEP(judged(kRead, rule, frame(1, {0x86, 0x02}), false), RtuStep::Mismatch);
    }
    // the exception flag on a frame longer than a refusal is no refusal
    CHECK_STEP(judged(kRead, AnswerRule::RegisterBytes, frame(1, {0x83, 0x04, 0x12, 0x34, 0x56, 0x78}), false),
               RtuStep::Mismatch);
    CHECK_STEP(judged(write, AnswerRule::Echo, write, false), RtuStep::Done);
    CHECK_STEP(judged(write, AnswerRule::Echo, frame(1, {0x06, 0x00, 0x11, 0x00, 0x07}), false), RtuStep::Mismatch);
    CHECK_STEP(judged(write, std::nullopt, frame(1, {0x06, 0x00, 0x11, 0x00, 0x07}), false), RtuStep::Done);
    CHECK(rtu_answer_belongs(RtuStep::Done) && rtu_answer_belongs(RtuStep::Refused));
    CHECK(!rtu_answer_belongs(RtuStep::Mismatch) && !rtu_answer_belongs(RtuStep::CrcError));
}

void trailing_bytes_stay() {
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    const Bytes both = concat(kRegisters, {0x01, 0x02});
    x.feed(both.data(), both.size());
    CHECK_STEP(x.step(), RtuStep::Done);
    CHECK(x.extent() == 9);
    CHECK(x.received().size() == both.size());
}

void size_rules_of_other_codes() {
    // Code 24: a 16-bit byte count.
    const Bytes fifo = frame(1, {0x18, 0x00, 0x05});
    RtuExchange x = begun(fifo);
    const Run r1 = feed(x, frame(1, {0x18, 0x00, 0x04, 0x00, 0x01, 0x12, 0x34}));
    CHECK_STEP(r1.end, RtuStep::Done);
    CHECK(x.extent() == 10);
    // Code 43/14: the objects' lengths.
    const Bytes ident = frame(1, {0x2B, 0x0E, 0x01, 0x00});
    RtuExchange y = begun(ident);
    const Bytes objects = {0x2B, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x02, 'A', 'B', 0x01, 0x01, 'C'};
    const Run r2 = feed(y, frame(1, objects));
    CHECK_STEP(r2.end, RtuStep::Done);
    CHECK(y.pdu_size() == objects.size());
    // Code 6: five bytes of PDU, whatever comes after.
    const Bytes write = frame(1, {0x06, 0x00, 0x10, 0x00, 0x07});
    RtuExchange z = begun(write);
    const Run r3 = feed(z, concat(write, {0x00}));
    CHECK_STEP(r3.end, RtuStep::Done);
    CHECK(r3.fed == write.size());
}

void no_answer_expected() {
    CHECK(!begun(frame(0, {0x06, 0x00, 0x10, 0x00, 0x07})).answer_expected());  // broadcast
    CHECK(!begun(frame(1, {0x08, 0x00, 0x04, 0x00, 0x00})).answer_expected());  // force listen only
    CHECK(begun(frame(1, {0x08, 0x00, 0x00, 0x12, 0x34})).answer_expected());
    CHECK(begun(kRead).answer_expected());
}

void open_length_is_what_came() {
    const Bytes custom = frame(1, {0x41, 0x01});
    RtuExchange x = begun(custom);
    const Bytes answer = frame(1, {0x41, 0x01, 0x02, 0x03});
    x.feed(answer.data(), answer.size());
    CHECK_STEP(x.step(), RtuStep::Done);
    CHECK(x.extent() == answer.size());
}

void begin_forgets_the_last_answer() {
    RtuExchange x = begun(kRead, 9, AnswerRule::RegisterBytes);
    CHECK_STEP(feed(x, kRegisters).end, RtuStep::Done);
    x.begin(kRead.data(), kRead.size(), 9, AnswerRule::RegisterBytes);
    CHECK(x.received().empty());
    CHECK_STEP(x.step(), RtuStep::Want);
}

// ---- the line: when the next request may go out ----

bool near(double a, double b) { return a - b < 1e-9 && b - a < 1e-9; }

void silent_interval_after_the_last_byte() {
    RtuLine line;
    line.set_silent_interval(0.002);
    CHECK(near(line.ready_at(5.0), 5.0));  // nothing heard yet
    line.sent(1.0);
    CHECK(near(line.ready_at(1.0), 1.002));
    line.heard(1.010);
    CHECK(near(line.ready_at(1.011), 1.012));
    CHECK(near(line.ready_at(2.0), 2.0));
    line.heard(0.5);  // an older time does not move the line's last byte back
    CHECK(near(line.ready_at(1.011), 1.012));
    line.set_silent_interval(-1);  // none over TCP
    CHECK(near(line.ready_at(1.011), 1.011));
}

void recovery_waits_for_a_quiet_line() {
    RtuLine line;
    line.unclean(2.0, 0.5);
    CHECK(line.recovering());
    CHECK(near(line.ready_at(2.1), 2.5));
    line.heard(2.3);  // a late answer: the quiet time starts again
    CHECK(near(line.ready_at(2.31), 2.8));
    line.sent(2.8);
    CHECK(!line.recovering());
    CHECK(near(line.ready_at(3.0), 3.0));
}

void recovery_is_given_up_after_its_bound() {
    RtuLine line;
    line.unclean(0.0, 0.5);
    CHECK(near(line.ready_at(0.1), 0.5));                          // first ready at 0.1: given up at 0.1 + 3 * 0.5
    for (int k = 1; k <= 7; ++k) line.heard(0.2 * k);              // a line that does not fall quiet
    CHECK(near(line.ready_at(1.45), 0.1 + kRecoveryBound * 0.5));  // not 1.4 + 0.5
    CHECK(near(line.ready_at(1.7), 1.7));
}

void no_recovery_without_a_delay() {
    RtuLine line;
    line.set_silent_interval(0.001);
    line.heard(1.0);
    line.unclean(1.0, 0);
    CHECK(!line.recovering());
    CHECK(near(line.ready_at(1.0), 1.001));
}

void hold_after_a_broadcast() {
    RtuLine line;
    line.sent(1.0);
    line.hold_until(1.1);
    CHECK(near(line.ready_at(1.0), 1.1));
    line.hold_until(1.05);  // a shorter hold does not shorten it
    CHECK(near(line.ready_at(1.0), 1.1));
    CHECK(near(line.ready_at(1.2), 1.2));
}

const core_checks::Cases kCases = {
    {"whole_answer_byte_by_byte", whole_answer_byte_by_byte},
    {"byte_count_tells_the_length", byte_count_tells_the_length},
    {"expected_size_waits_past_a_short_count", expected_size_waits_past_a_short_count},
    {"refused", refused},
    {"refusal_judged_by_crc_then_request", refusal_judged_by_crc_then_request},
    {"crc_error_before_mismatch", crc_error_before_mismatch},
    {"wrong_station_or_code", wrong_station_or_code},
    {"echo_rule_compares_the_fields", echo_rule_compares_the_fields},
    {"judge_of_whole_frames", judge_of_whole_frames},
    {"trailing_bytes_stay", trailing_bytes_stay},
    {"size_rules_of_other_codes", size_rules_of_other_codes},
    {"no_answer_expected", no_answer_expected},
    {"open_length_is_what_came", open_length_is_what_came},
    {"begin_forgets_the_last_answer", begin_forgets_the_last_answer},
    {"silent_interval_after_the_last_byte", silent_interval_after_the_last_byte},
    {"recovery_waits_for_a_quiet_line", recovery_waits_for_a_quiet_line},
    {"recovery_is_given_up_after_its_bound", recovery_is_given_up_after_its_bound},
    {"no_recovery_without_a_delay", no_recovery_without_a_delay},
    {"hold_after_a_broadcast", hold_after_a_broadcast},
};

}  // namespace

int main(int argc, char** argv) { return core_checks::run_cases(argc, argv, kCases); }
