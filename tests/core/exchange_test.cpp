// Checks of the Modbus TCP exchange without I/O and of its byte buffer: `exchange_test NAME` runs one case.
#include "cases.hpp"
#include "modbus/tcp_exchange.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace brel::modbus;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* name_of(TcpStep s) {
    switch (s) {
        case TcpStep::Want:
            return "Want";
        case TcpStep::Skipped:
            return "Skipped";
        case TcpStep::Done:
            return "Done";
        case TcpStep::Refused:
            return "Refused";
        case TcpStep::IdsMismatch:
            return "IdsMismatch";
        case TcpStep::LengthMismatch:
            return "LengthMismatch";
        case TcpStep::CodeMismatch:
            return "CodeMismatch";
    }
    return "?";
}

#define CHECK_STEP(got, want)                                                                                   \
    do {                                                                                                        \
        const TcpStep g = (got);                                                                                \
        if (g != (want)) {                                                                                      \
            std::fprintf(stderr, "%s:%d: step %s, wanted %s\n", __FILE__, __LINE__, name_of(g), name_of(want)); \
            ++core_checks::failures;                                                                            \
        }                                                                                                       \
    } while (0)

// An MBAP frame: transaction, protocol, unit, then the PDU.
Bytes frame(std::uint16_t transaction, std::uint8_t unit, const Bytes& pdu, std::uint16_t protocol = 0) {
    Bytes out(kMbapSize);
    mbap_header(out.data(), transaction, protocol, static_cast<std::uint16_t>(pdu.size() + 1), unit);
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

Bytes read_request(std::uint16_t transaction, std::uint8_t unit = 1) {
    return frame(transaction, unit, {0x03, 0x00, 0x00, 0x00, 0x02});
}
const Bytes kRegisters = {0x03, 0x04, 0x12, 0x34, 0x56, 0x78};  // two registers
Bytes read_answer(std::uint16_t transaction, std::uint8_t unit = 1) { return frame(transaction, unit, kRegisters); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Feeds `stream` in pieces of `piece` bytes, never more than the exchange wants unless
// `greedy` (a stream that takes whatever has come); returns the first step that ends, the
// Skipped steps counted.
struct Run {
    TcpStep end = TcpStep::Want;
    int skipped = 0;
    std::size_t fed = 0;
};

Run feed(TcpExchange& x, const Bytes& stream, std::size_t piece, bool greedy = false) {
    Run run;
    for (;;) {
        const TcpStep s = x.step();
        if (s == TcpStep::Skipped) {
            ++run.skipped;
            continue;
        }
        if (s != TcpStep::Want) {
            run.end = s;
            return run;
        }
        if (run.fed >= stream.size()) return run;  // starved: still Want
        std::size_t n = std::min(piece, stream.size() - run.fed);
        if (!greedy) n = std::min(n, x.wanted() - x.buffer().size());
        x.buffer().append(stream.data() + run.fed, n);
        run.fed += n;
    }
}

void begin(TcpExchange& x, const Bytes& request, std::optional<long long> needed) {
    x.begin(request.data(), request.size(), nullptr, needed);
}

// ---- cases ------------------------------------------------------------------------------

void whole_answer() {
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{64}}) {
        RecentRequests recent;
        TcpExchange x(recent);
        const Bytes request = read_request(7);
        begin(x, request, 5);
        CHECK(x.wanted() == kTcpAnswerHead);
        CHECK(x.room() == kTcpAnswerHead + 1 + 5);
        const Run run = feed(x, read_answer(7), piece);
        CHECK_STEP(run.end, TcpStep::Done);
        CHECK(run.skipped == 0);
        CHECK(x.data_size() == 5);
        CHECK(std::memcmp(x.data(), kRegisters.data() + 1, 5) == 0);
        CHECK(x.extent() == 13);
        CHECK(!x.trailing());
        CHECK(!recent.holds(7, 1));  // remembered only once settled
        x.settle();
        CHECK(recent.holds(7, 1));
    }
}

void answer_wanted_in_two_steps() {
    RecentRequests recent;
    TcpExchange x(recent);
    const Bytes request = read_request(1);
    begin(x, request, 5);
    const Bytes answer = read_answer(1);
    CHECK_STEP(x.step(), TcpStep::Want);
    x.buffer().append(answer.data(), 8);
    CHECK_STEP(x.step(), TcpStep::Want);
    CHECK(x.wanted() == answer.size());
    x.buffer().append(answer.data() + 8, answer.size() - 9);
    CHECK_STEP(x.step(), TcpStep::Want);
    x.buffer().append(answer.data() + answer.size() - 1, 1);
    CHECK_STEP(x.step(), TcpStep::Done);
    CHECK_STEP(x.step(), TcpStep::Done);  // ended: stays
}

void late_answer_skipped() {
    for (bool greedy : {false, true}) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{100}}) {
            RecentRequests recent;
            recent.remember(3, 1);  // timed out earlier
            recent.remember(4, 1);
            TcpExchange x(recent);
            const Bytes request = read_request(5);
            begin(x, request, 5);
            const Run run = feed(x, concat({read_answer(3), read_answer(4), read_answer(5)}), piece, greedy);
            CHECK_STEP(run.end, TcpStep::Done);
            CHECK(run.skipped == 2);
            CHECK(x.data_size() == 5);
            CHECK(x.buffer().size() == read_answer(5).size());
        }
    }
}

void late_refusal_skipped() {
    RecentRequests recent;
    recent.remember(9, 1);
    TcpExchange x(recent);
    const Bytes request = read_request(10);
    begin(x, request, 5);
    const Run run = feed(x, concat({frame(9, 1, {0x83, 0x02}), read_answer(10)}), 4);
    CHECK_STEP(run.end, TcpStep::Done);
    CHECK(run.skipped == 1);
}

void duplicate_of_answered_skipped() {
    RecentRequests recent;
    {
        TcpExchange first(recent);
        const Bytes request = read_request(20);
        begin(first, request, 5);
        CHECK_STEP(feed(first, read_answer(20), 64).end, TcpStep::Done);
        first.settle();
    }
    TcpExchange second(recent);
    const Bytes request = read_request(21);
    begin(second, request, 5);
    const Run run = feed(second, concat({read_answer(20), read_answer(21)}), 64, true);
    CHECK_STEP(run.end, TcpStep::Done);
    CHECK(run.skipped == 1);
}

// Strangers are not skipped: an answer of no recent request, one of a recent request with
// another protocol identifier or a length no answer has, and a unit never asked.
void strangers_mismatch() {
    RecentRequests recent;
    recent.remember(3, 1);
    const Bytes request = read_request(5);
    const Bytes strangers[] = {
        read_answer(4),                                // never sent
        frame(3, 1, kRegisters, 1),                    // recent, other protocol
        read_answer(3, 2),                             // recent transaction, other unit
        read_answer(5, 2),                             // this transaction, other unit
        frame(5, 1, kRegisters, 7),                    // this transaction, other protocol
        concat({read_answer(3), Bytes(260 - 13, 0)}),  // declared length beyond an answer's: below
    };
    int i = 0;
    for (Bytes s : strangers) {
        if (i++ == 5) put16(s.data() + 4, kMaxPdu + 2);
        TcpExchange x(recent);
        begin(x, request, 5);
        const Run run = feed(x, s, 64);
        CHECK_STEP(run.end, TcpStep::IdsMismatch);
        CHECK(run.skipped == 0);
        CHECK(x.extent() == kTcpAnswerHead);
    }
}

void length_mismatch() {
    for (long long needed : {3LL, 7LL, 0LL, -1LL, LLONG_MAX}) {
        RecentRequests recent;
        TcpExchange x(recent);
        const Bytes request = read_request(1);
        begin(x, request, needed);
        CHECK_STEP(feed(x, read_answer(1), 64).end, TcpStep::LengthMismatch);
    }
    // No length asked for: any declared length is taken, down to none at all.
    for (std::uint16_t declared : {0, 1, 2, 3}) {
        RecentRequests recent;
        TcpExchange x(recent);
        const Bytes request = read_request(1);
        begin(x, request, std::nullopt);
        Bytes answer = read_answer(1);
        put16(answer.data() + 4, declared);
        const Run run = feed(x, answer, 64);
        CHECK_STEP(run.end, TcpStep::Done);
        CHECK(x.data_size() == (declared > 2 ? declared - 2u : 0u));
        CHECK(x.extent() == kTcpAnswerHead + x.data_size());
    }
}

void refused() {
    RecentRequests recent;
    TcpExchange x(recent);
    const Bytes request = read_request(2, 9);
    begin(x, request, 5);
    CHECK_STEP(feed(x, frame(2, 9, {0x83, 0x02}), 64).end, TcpStep::Refused);
    CHECK(x.unit() == 9);
    CHECK(x.code() == 0x83);
    CHECK(x.refusal() == 0x02);
    // An exception code of another function, or one with more data, is no refusal of this one.
    for (const Bytes& pdu : {Bytes{0x84, 0x02}, Bytes{0x83, 0x02, 0x00}}) {
        TcpExchange y(recent);
        begin(y, request, std::nullopt);
        CHECK_STEP(feed(y, frame(2, 9, pdu), 64).end, TcpStep::CodeMismatch);
    }
}

void code_mismatch() {
    RecentRequests recent;
    TcpExchange x(recent);
    const Bytes request = read_request(2);
    begin(x, request, 5);
    CHECK_STEP(feed(x, frame(2, 1, {0x04, 0x04, 0, 0, 0, 0}), 64).end, TcpStep::CodeMismatch);
    CHECK(x.code() == 0x04);
}

void trailing_bytes() {
    RecentRequests recent;
    TcpExchange x(recent);
    const Bytes request = read_request(2);
    begin(x, request, 5);
    const Run run = feed(x, concat({read_answer(2), Bytes{0xEE, 0xEF}}), 64, true);
    CHECK_STEP(run.end, TcpStep::Done);
    CHECK(x.extent() == 13);
    CHECK(x.buffer().size() == 15);
    CHECK(x.trailing());
    CHECK(x.data_size() == 5);
}

void recent_ring_keeps_sixteen() {
    RecentRequests recent;
    for (std::uint16_t t = 0; t < 20; ++t) recent.remember(t, 1);
    for (std::uint16_t t = 0; t < 4; ++t) CHECK(!recent.holds(t, 1));
    for (std::uint16_t t = 4; t < 20; ++t) CHECK(recent.holds(t, 1));
    CHECK(!recent.holds(10, 2));
}

// A request that is no whole frame of bytes: the judge compares.
struct Judge final : RequestJudge {
    mutable int asked = 0;
    bool same_ids(const std::uint8_t* head) const override {
        ++asked;
        return get16(head) == 0x4242;
    }
    bool same_code(std::uint8_t code) const override { return code == 0x03; }
    bool refused_by(std::uint8_t code) const override { return code == 0x83; }
};

void judge_compares() {
    RecentRequests recent;
    recent.remember(0x4141, 1);
    Judge judge;
    TcpExchange x(recent);
    x.begin(nullptr, 0, &judge, 5);
    const Run run = feed(x, concat({read_answer(0x4141), read_answer(0x4242)}), 64);
    CHECK_STEP(run.end, TcpStep::IdsMismatch);  // nothing is skipped for a request it cannot read
    CHECK(judge.asked == 1);
    x.settle();
    CHECK(!recent.holds(0x4242, 1));  // nor remembered
    TcpExchange y(recent);
    y.begin(nullptr, 0, &judge, 5);
    CHECK_STEP(feed(y, read_answer(0x4242), 64).end, TcpStep::Done);
}

// The byte buffer the answers are read into: what came before moves to the heap with it
// when a longer run comes, room reserved and committed in pieces, the front dropped.
void byte_buffer_keeps_every_byte() {
    ByteBuffer<8> b;
    Bytes all;
    for (std::uint8_t i = 0; i < 40; ++i) {
        const std::uint8_t piece[] = {i, static_cast<std::uint8_t>(i ^ 0xA5)};
        b.append(piece, sizeof piece);
        all.insert(all.end(), piece, piece + sizeof piece);
        CHECK(b.on_heap() == (all.size() > 8));
        CHECK(b.size() == all.size() && std::equal(all.begin(), all.end(), b.data()));
    }
    std::uint8_t* room = b.reserve(100);
    CHECK(room == b.tail());
    std::memset(room, 0x5A, 3);
    b.commit(3);
    all.insert(all.end(), 3, 0x5A);
    CHECK(b.size() == all.size() && std::equal(all.begin(), all.end(), b.data()));
    CHECK(Bytes(b.begin(), b.end()) == all && b[all.size() - 1] == 0x5A && b[1] == (0 ^ 0xA5));
    b.clear();
    CHECK(b.size() == 0 && b.empty() && !b.on_heap() && b.begin() == b.end());
    const std::uint8_t five[] = {1, 2, 3, 4, 5};
    b.append(five, sizeof five);
    CHECK(!b.on_heap() && std::equal(five, five + 5, b.data()));
}

void byte_buffer_drops_its_front() {
    for (std::size_t length : {std::size_t{6}, std::size_t{30}}) {  // in place, on the heap
        ByteBuffer<8> b;
        Bytes all(length);
        for (std::size_t i = 0; i < length; ++i) all[i] = static_cast<std::uint8_t>(3 * i + 1);
        b.append(all.data(), all.size());
        b.drop_front(4);
        CHECK(b.size() == length - 4 && std::equal(all.begin() + 4, all.end(), b.data()));
        b.drop_front(length);  // more than is left: empty
        CHECK(b.size() == 0);
        const std::uint8_t one = 9;
        b.append(&one, 1);
        CHECK(b.size() == 1 && b.data()[0] == 9);
    }
}

const core_checks::Cases kCases = {
    {"whole_answer", whole_answer},
    {"answer_wanted_in_two_steps", answer_wanted_in_two_steps},
    {"late_answer_skipped", late_answer_skipped},
    {"late_refusal_skipped", late_refusal_skipped},
    {"duplicate_of_answered_skipped", duplicate_of_answered_skipped},
    {"strangers_mismatch", strangers_mismatch},
    {"length_mismatch", length_mismatch},
    {"refused", refused},
    {"code_mismatch", code_mismatch},
    {"trailing_bytes", trailing_bytes},
    {"recent_ring_keeps_sixteen", recent_ring_keeps_sixteen},
    {"judge_compares", judge_compares},
    {"byte_buffer_keeps_every_byte", byte_buffer_keeps_every_byte},
    {"byte_buffer_drops_its_front", byte_buffer_drops_its_front},
};

}  // namespace

int main(int argc, char** argv) { return core_checks::run_cases(argc, argv, kCases); }
