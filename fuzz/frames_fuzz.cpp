// libFuzzer target for the plain C++ frame layer (crc16.hpp, frames.hpp, values.hpp) and the
// poller's planning (plan.hpp), built with AddressSanitizer and UndefinedBehaviorSanitizer.
// Every builder and check is compared with a byte-by-byte reference written here, every plan
// with the rules it must keep; any difference traps.
#include "modbus/frames.hpp"
#include "modbus/plan.hpp"
#include "modbus/rtu_exchange.hpp"
#include "modbus/tcp_exchange.hpp"
#include "modbus/values.hpp"
#include "modbus/ascii_frames.hpp"
#include "modbus/x509_role.hpp"

#include <utility>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace brel::modbus;

std::uint16_t crc_bitwise(const std::uint8_t* p, std::size_t n) {
    unsigned crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1u) ? (crc >> 1) ^ 0xA001u : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc);
}

void expect(bool ok) {
    if (!ok) __builtin_trap();
}

struct Reader {
    const std::uint8_t* p;
    std::size_t n;
    std::uint8_t u8() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() << 8 | u8()); }
};

// Typed values: a format made of the input's bytes, its images filled with the input, in
// every order. The registers match a placement written out here (each value's registers
// reversed for word order, then every register's bytes swapped), and words_to_image undoes
// image_to_words.
void check_values(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const bool any_text = in.u8() & 1;
    std::string text(in.u8() % 24, ' ');
    for (char& c : text) {
        const std::uint8_t b = in.u8();
        c = any_text ? static_cast<char>(b) : "hHiIqQefds 0123456789"[b % 21];
    }
    Format format;
    const FormatCheck parsed = parse_format(text, format);
    if (!parsed.ok()) {
        expect(parsed.fault != FormatFault::OddSize || parsed.bytes % 2 == 1);
        return;
    }
    std::size_t bytes = 0, values = 0;
    for (const Field& f : format.fields) {
        expect(f.count > 0 && (f.code == 's' || code_size(f.code) > 0));
        bytes += f.bytes();
        values += f.values();
    }
    expect(bytes == format.bytes && values == format.values && bytes % 2 == 0 && bytes > 0);
    expect(format.registers() <= kMaxFormatRegisters);

    std::vector<std::uint8_t> image(bytes), back(bytes), wire(bytes);
    for (std::size_t i = 0; i < bytes; ++i) image[i] = size ? data[i % size] ^ static_cast<std::uint8_t>(i) : 0;
    std::vector<std::uint16_t> words(bytes / 2);
    for (const ByteOrder order : {ByteOrder::ABCD, ByteOrder::CDAB, ByteOrder::BADC, ByteOrder::DCBA}) {
        bool straddles = false;
        wire = image;
        for_each_value(format.fields, [&](std::size_t offset, std::size_t n, char code) {
            if (!swaps_words(order) || code == 's' || n <= 2) return;
            straddles = straddles || offset % 2;
            for (std::size_t k = 0; k < n / 2; ++k) {
                wire[offset + 2 * k] = image[offset + n - 2 - 2 * k];
                wire[offset + 2 * k + 1] = image[offset + n - 1 - 2 * k];
            }
        });
        if (swaps_bytes(order))
            for (std::size_t i = 0; i < bytes; i += 2) std::swap(wire[i], wire[i + 1]);
        const FormatCheck placed = check_order(format.fields, order);
        expect(placed.ok() != straddles);
        if (!placed.ok()) continue;
        image_to_words(format.fields, order, image.data(), words.data(), words.size());
        for (std::size_t w = 0; w < words.size(); ++w) expect(words[w] == get16(wire.data() + 2 * w));
        words_to_image(format.fields, order, words.data(), back.data());
        expect(back == image);
    }
}

// The poller's plan of points made of the input: every point read by exactly one request of
// its own station, table and period; a request within the read limit, no gap inside it wider
// than the table's, no cut crossed; the next request of a group could not have been merged;
// the plan in its order; a refused request is cut where a point starts, into smaller ones.
void check_plan(const std::uint8_t* data, std::size_t size) {
    namespace pl = brel::modbus::polling;
    Reader in{data, size};
    pl::Gaps gaps{in.u8() % 40u, in.u16() % 700u};
    const std::uint16_t spread = static_cast<std::uint16_t>(1 + in.u8() % 64);  // addresses apart
    std::vector<pl::Point> points(in.u8() % 80);
    for (pl::Point& p : points) {
        p.station = in.u8() % 3;
        p.table = static_cast<pl::Table>(in.u8() % 4);
        p.address = static_cast<std::uint16_t>(std::min<unsigned>(in.u16() % 600u * spread, 0xFFF0u));
        p.width = pl::is_bits(p.table) ? 1 : static_cast<std::uint16_t>(1 + in.u8() % 8);
        p.period = 0.5 * (1 + in.u8() % 3);
    }
    std::vector<pl::Cut> cuts(in.u8() % 6);
    for (pl::Cut& c : cuts)
        c = {static_cast<std::uint8_t>(in.u8() % 3), static_cast<pl::Table>(in.u8() % 4), 0.5 * (1 + in.u8() % 3),
             static_cast<std::uint16_t>(in.u16() % 600u * spread)};
    auto cut_in = [&](const pl::Point& group, std::size_t low, std::size_t high) {  // a cut in (low, high]
        for (const pl::Cut& c : cuts)
            if (c.station == group.station && c.table == group.table && c.period == group.period && c.address > low &&
                c.address <= high)
                return true;
        return false;
    };
    const std::vector<pl::Request> plan = pl::make_plan(points, cuts, gaps);
    std::vector<int> seen(points.size(), 0);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const pl::Request& r = plan[i];
        expect(!r.points.empty());
        if (i > 0) {
            const pl::Request& q = plan[i - 1];
            expect(std::tie(q.station, q.table, q.address) <= std::tie(r.station, r.table, r.address));
            if (q.station == r.station && q.table == r.table && q.address == r.address) expect(q.period < r.period);
        }
        const pl::Point& first = points[r.points[0]];
        expect(r.address == first.address && r.count >= 1 && r.count <= pl::read_limit(r.table));
        std::size_t end = r.address;
        for (std::size_t k = 0; k < r.points.size(); ++k) {
            const pl::Point& p = points[r.points[k]];
            seen[r.points[k]] += 1;
            expect(p.station == r.station && p.table == r.table && p.period == r.period);
            if (k > 0) {
                const pl::Point& before = points[r.points[k - 1]];
                expect(before.address < p.address || (before.address == p.address && r.points[k - 1] < r.points[k]));
                expect(p.address <= end || p.address - end <= gaps.of(r.table));
                expect(!cut_in(p, r.address, p.address));
            }
            end = std::max(end, p.end());
        }
        expect(end == std::size_t{r.address} + r.count);
        // The next request of this group starts where this one could not go on.
        for (std::size_t j = i + 1; j < plan.size(); ++j) {
            const pl::Request& next = plan[j];
            if (next.station != r.station || next.table != r.table) break;
            if (next.period != r.period) continue;
            const pl::Point& head = points[next.points[0]];
            const std::size_t gap = head.address > end ? head.address - end : 0;
            expect(gap > gaps.of(r.table) || std::max(end, head.end()) - r.address > pl::read_limit(r.table) ||
                   cut_in(head, r.address, head.address));
            break;
        }
        // Halving: the cut is where a point starts, with points on both sides; the halves are
        // smaller requests that read the same points.
        const std::optional<std::uint16_t> cut = pl::split_address(points, r);
        if (!cut) {
            for (const std::size_t index : r.points) expect(points[index].address == first.address);
            continue;
        }
        expect(*cut > r.address && std::any_of(r.points.begin(), r.points.end(),
                                               [&](std::size_t index) { return points[index].address == *cut; }));
        // Bisection: with d the registers from the first point's first register to the last
        // point's (both counted), each side keeps its first registers within half of the
        // power of two at or above d, so every refusal halves what is still suspected.
        const std::size_t lo = first.address, hi = points[r.points.back()].address;
        std::size_t half = 1;
        while (2 * half < hi - lo + 1) half *= 2;
        std::size_t left_last = lo;
        for (const std::size_t index : r.points)
            if (points[index].address < *cut) left_last = std::max<std::size_t>(left_last, points[index].address);
        expect(left_last - lo + 1 <= half && hi - *cut + 1 <= half);
        std::vector<pl::Cut> more(cuts);
        more.push_back({r.station, r.table, r.period, *cut});
        const std::vector<pl::Request> halves = pl::make_plan(points, r.points, more, gaps);
        expect(halves.size() >= 2);
        std::size_t read = 0;
        for (const pl::Request& h : halves) {
            expect(h.points.size() < r.points.size());
            read += h.points.size();
        }
        expect(read == r.points.size());
    }
    for (const int n : seen) expect(n == 1);

    // A schedule's next slot lies after the pass, at most a period on.
    const std::uint8_t scale = in.u8();
    pl::Schedule schedule{.period = scale == 1 ? 1e-300 : scale == 2 ? 1e300 : 0.001 * (1 + in.u16() % 5000)};
    double now = scale == 3 ? 1e15 : 0;
    for (int k = 0; k < 4; ++k) {
        now += 0.001 * in.u16();
        if (!schedule.is_due(now)) continue;
        schedule.advance(now);
        // at most a period on, give or take the rounding of times this large
        const double ulp = std::nextafter(now, INFINITY) - now;
        expect(schedule.due > now && schedule.due - now <= schedule.period * (1 + 1e-9) + 4 * ulp);
    }

    // Percentiles by rank, over the window of the last samples.
    pl::RoundTrips trips;
    std::vector<double> samples;
    const std::size_t n = in.u8() % 64 + (in.u8() == 7 ? pl::RoundTrips::kWindow : 0);
    for (std::size_t k = 0; k < n; ++k) {
        samples.push_back(static_cast<double>(in.u8() % 16));
        trips.add(samples.back());
    }
    if (samples.size() > pl::RoundTrips::kWindow)
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(pl::RoundTrips::kWindow));
    for (const unsigned percent : {1u, 50u, 99u, 100u}) {
        const std::optional<double> v = trips.percentile(percent);
        expect(v.has_value() == !samples.empty());
        if (!v) continue;
        const auto at_most =
            static_cast<std::size_t>(std::count_if(samples.begin(), samples.end(), [&](double x) { return x <= *v; }));
        const std::size_t below =
            static_cast<std::size_t>(std::count_if(samples.begin(), samples.end(), [&](double x) { return x < *v; }));
        expect(100 * at_most >= percent * samples.size() && 100 * below < percent * samples.size());
    }
}

// The TCP exchange: a request and the master's recent requests made of the input, the rest
// as what the connection brings, fed in the input's pieces, byte by byte, and as much as
// the exchange's room allows. Every road ends alike (same step, skipped answers, data);
// Want always wants more than the buffer holds; an answer taken is the request's.
struct ExchangeRun {
    TcpStep end = TcpStep::Want;
    int skipped = 0;
    std::vector<std::uint8_t> data;
    std::uint8_t code = 0;
};

ExchangeRun run_exchange(RecentRequests recent, const std::uint8_t* request, std::optional<long long> needed,
                         const std::uint8_t* stream, std::size_t size, const std::uint8_t* pieces,
                         std::size_t piece_count, int mode) {
    TcpExchange x(recent);
    x.begin(request, 12, nullptr, needed);
    ExchangeRun run;
    std::size_t fed = 0, k = 0;
    for (;;) {
        const TcpStep s = x.step();
        if (s == TcpStep::Skipped) {
            ++run.skipped;
            continue;
        }
        if (s != TcpStep::Want) {
            run.end = s;
            break;
        }
        expect(x.wanted() > x.buffer().size());
        if (fed == size) return run;
        const std::size_t want = x.wanted() - x.buffer().size();
        std::size_t n = mode == 0
                            ? std::min(want, 1 + static_cast<std::size_t>(piece_count ? pieces[k++ % piece_count] : 0))
                        : mode == 1 ? 1
                                    : std::max(want, x.room() > x.buffer().size() ? x.room() - x.buffer().size() : 0);
        n = std::min(n, size - fed);
        x.buffer().append(stream + fed, n);
        fed += n;
    }
    expect(x.extent() >= kTcpAnswerHead && x.extent() <= x.buffer().size());
    run.code = x.code();
    if (run.end == TcpStep::Done) {
        expect(x.code() == request[7] && x.extent() == kTcpAnswerHead + x.data_size());
        expect(!needed || *needed == static_cast<long long>(x.data_size()) || (*needed <= 0 && x.data_size() == 0));
        run.data.assign(x.data(), x.data() + x.data_size());
    }
    if (run.end == TcpStep::Refused) expect(x.code() == (request[7] | 0x80) && x.data_size() == 1);
    return run;
}

void check_exchange(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    std::uint8_t request[12];
    const std::uint16_t transaction = in.u16();
    const std::uint16_t protocol = in.u8() & 1;
    const std::uint8_t unit = in.u8() & 3;
    mbap_header(request, transaction, protocol, 6, unit);
    request[7] = in.u8() & 0x87;
    const std::uint8_t ask = in.u8();
    const std::optional<long long> needed = ask & 0x80 ? std::nullopt : std::optional<long long>(ask % 12);
    RecentRequests recent;
    for (int i = in.u8() % 20; i > 0; --i) {
        const std::uint16_t t = in.u8();  // few distinct identifiers: answers of them come
        recent.remember(static_cast<std::uint16_t>(t & 7 ? get16(request) - (t & 7) : t), in.u8() & 3);
    }
    const std::size_t piece_count = in.u8() % 8;
    const std::uint8_t* pieces = in.p;
    for (std::size_t i = 0; i < piece_count; ++i) in.u8();
    const ExchangeRun a = run_exchange(recent, request, needed, in.p, in.n, pieces, piece_count, 0);
    for (int mode : {1, 2}) {
        const ExchangeRun b = run_exchange(recent, request, needed, in.p, in.n, pieces, piece_count, mode);
        expect(a.end == b.end && a.skipped == b.skipped && a.data == b.data && a.code == b.code);
    }
}

// Answers of any length: every size rule walked over the input as an answer PDU, each step
// given only the bytes it may know (a copy of exactly that many, so that a look beyond them
// is a heap overflow), ends where a count written out here says; the answer checks of codes
// 12, 20 and 24 hold only for answers of their layout; the file record requests are laid out
// as written out here.
void check_answer_sizes(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return;
    const std::uint8_t* pdu = data + 1;
    const std::size_t n = size - 1;
    const AnswerSize rules[] = {{SizeRule::Fixed, data[0] % 16u},
                                {SizeRule::CountByte},
                                {SizeRule::CountWord},
                                {SizeRule::Identification},
                                answer_size_of(pdu, n)};
    for (const AnswerSize& rule : rules) {
        std::size_t known = 1;
        bool whole = true;
        for (;;) {
            std::vector<std::uint8_t> seen(pdu, pdu + known);
            const std::size_t more = answer_more(rule, seen.data(), known);
            if (!more) break;
            known += more;
            if (known > n) {
                whole = false;
                break;
            }
        }
        if (!whole) continue;
        if (rule.rule == SizeRule::Fixed) expect(known == std::max<std::size_t>(1, rule.fixed));
        if (rule.rule == SizeRule::CountByte) expect(known == 2 + static_cast<std::size_t>(pdu[1]));
        if (rule.rule == SizeRule::CountWord) expect(n >= 3 && known == 3 + static_cast<std::size_t>(get16(pdu + 1)));
        if (rule.rule == SizeRule::Identification) {
            IdentificationPage page;
            expect(parse_identification(pdu, known, page, [](std::uint8_t, const std::uint8_t*, std::size_t) {}));
        }
    }
    if (fifo_answer_ok(pdu, n)) expect(n == 5 + 2 * static_cast<std::size_t>(get16(pdu + 3)) && get16(pdu + 3) <= 31);
    if (event_log_answer_ok(pdu, n)) expect(n == 2 + static_cast<std::size_t>(pdu[1]) && n >= 8 && n <= 72);

    Reader in{data, size};
    FileRecord records[3];
    std::uint16_t words[3][4];
    const std::size_t count = 1 + in.u8() % 3;
    for (std::size_t k = 0; k < count; ++k) {
        records[k] = {in.u16(), in.u16(), static_cast<std::uint16_t>(1 + in.u8() % 4), words[k]};
        for (auto& w : words[k]) w = in.u16();
    }
    std::uint8_t out[2 + 3 * (7 + 8)];
    expect(pdu_read_file_record(out, records, count) == 2 + 7 * count && out[1] == 7 * count);
    for (std::size_t k = 0; k < count; ++k)
        expect(out[2 + 7 * k] == 6 && get16(out + 3 + 7 * k) == records[k].file &&
               get16(out + 5 + 7 * k) == records[k].record && get16(out + 7 + 7 * k) == records[k].length);
    const std::size_t written = pdu_write_file_record(out, records, count);
    expect(written == 2 + file_write_bytes(records, count) && out[1] == written - 2);
    std::size_t at = 2;
    for (std::size_t k = 0; k < count; ++k) {
        expect(out[at] == 6 && get16(out + at + 1) == records[k].file && get16(out + at + 5) == records[k].length);
        for (std::size_t i = 0; i < records[k].length; ++i) expect(get16(out + at + 7 + 2 * i) == words[k][i]);
        at += 7 + 2 * static_cast<std::size_t>(records[k].length);
    }
    // Any answer to the read: accepted only with the layout of each record asked for.
    if (file_record_answer_ok(pdu, n, records, count)) {
        std::size_t want = 2;
        for (std::size_t k = 0; k < count; ++k) want += 2 + 2 * static_cast<std::size_t>(records[k].length);
        expect(n == want && pdu[1] == n - 2);
    }
}
// The RTU exchange: a request PDU made of the input, framed, then the rest as what the line
// brings, fed byte by byte and all at once. Both end alike when the answer's length is
// known (an answer of open length is what has come, however it came); Want wants more
// than has come; an answer taken lies in what came, has a sound CRC and is the request's
// station's.
void check_rtu_exchange(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t station = in.u8() & 3;
    const std::size_t pdu_size = 1 + in.u8() % 8;
    std::uint8_t pdu[8] = {};
    for (std::size_t i = 0; i < pdu_size; ++i) pdu[i] = in.u8();
    const std::uint8_t ask = in.u8();
    const std::optional<std::size_t> expected =
        ask & 0x80 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(ask % 16));
    std::uint8_t request[11];
    const std::size_t request_size = rtu_frame(request, station, pdu, pdu_size);
    RtuExchange one, all;
    one.begin(request, request_size, expected);
    all.begin(request, request_size, expected);
    RtuStep a = RtuStep::Want;
    for (std::size_t i = 0; i < in.n && a == RtuStep::Want; ++i) {
        one.feed(in.p + i, 1);
        a = one.step();
        if (a == RtuStep::Want) expect(one.wanted() > one.received().size());
    }
    all.feed(in.p, in.n);
    const RtuStep b = all.step();
    if (a == RtuStep::Want) return;
    const SizeRule rule = answer_size_of(pdu, pdu_size).rule;
    if (!expected && (rule == SizeRule::Open || rule == SizeRule::Nothing) && in.n > kRtuHeadSize &&
        in.p[1] < kExceptionFlag)
        return;
    expect(a == b && one.extent() == all.extent() && one.extent() <= one.received().size());
    if (a == RtuStep::Done || a == RtuStep::Refused)
        expect(crc16_frame_ok(in.p, one.extent()) && in.p[0] == station && one.pdu_size() + 3 == one.extent());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The CRC: table against bit by bit, in one go and in two parts, and the frame check.
    const std::uint16_t ref = crc_bitwise(data, size);
    expect(crc16(data, size) == ref);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    expect(crc16_update(crc16(data, cut), data + cut, size - cut) == ref);
    std::int64_t wide = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) wide = crc16_fold_wide(wide, data[i]);
    expect(wide == ref);
    if (size >= 2) {
        const std::uint16_t body = crc_bitwise(data, size - 2);
        expect(crc16_frame_ok(data, size) == (data[size - 2] == (body & 0xFF) && data[size - 1] == (body >> 8)));
    } else {
        expect(!crc16_frame_ok(data, size));
    }

    // The certificate's role: any bytes are read within their bounds; a role found lies in them.
    const brel::x509::Role role = brel::x509::role_of(data, size);
    if (role.found == brel::x509::RoleFound::Role)
        expect(reinterpret_cast<const std::uint8_t*>(role.text.data()) >= data &&
               reinterpret_cast<const std::uint8_t*>(role.text.data()) + role.text.size() <= data + size);

    // ASCII: any characters decode within bounds; a frame made of what they decode to
    // decodes back to the same bytes.
    {
        static std::uint8_t decoded[1 << 15], again[1 << 15], chars[1 << 16];
        const std::size_t n = std::min<std::size_t>(size, sizeof decoded);
        std::size_t got = 0;
        if (brel::modbus::ascii_decode(data, n, decoded, got) == brel::modbus::AsciiDecoded::Ok) {
            const std::size_t made = brel::modbus::ascii_frame(chars, decoded, got - 1);
            std::size_t back = 0;
            expect(brel::modbus::ascii_decode(chars + 1, made - 3, again, back) == brel::modbus::AsciiDecoded::Ok &&
                   back == got && std::memcmp(again, decoded, got) == 0);
        }
    }

    Reader in{data, size};
    const std::uint8_t station = in.u8(), code = in.u8();
    const std::uint16_t first = in.u16(), second = in.u16();

    // RTU requests: layout, and a CRC that the frame check accepts.
    std::uint8_t frame[9 + 2 * kRtuMaxWriteRegisters];
    expect(rtu_two_fields(frame, station, code, first, second) == 8);
    expect(frame[0] == station && frame[1] == code && get16(frame + 2) == first && get16(frame + 4) == second);
    expect(crc16_frame_ok(frame, 8) && crc_bitwise(frame, 6) == (frame[6] | frame[7] << 8));
    expect(rtu_write_coil(frame, station, code, first, second & 1) == 8);
    expect(frame[4] == ((second & 1) ? 0xFF : 0) && frame[5] == 0 && crc16_frame_ok(frame, 8));

    const std::size_t count = in.u8() % (kRtuMaxWriteRegisters + 1);
    std::vector<std::uint16_t> values(count);
    for (auto& v : values) v = in.u16();
    const std::size_t total = rtu_write_registers(frame, station, code, first, values.data(), count);
    expect(total == 9 + 2 * count && frame[6] == 2 * count && get16(frame + 4) == count);
    for (std::size_t i = 0; i < count; ++i) expect(get16(frame + 7 + 2 * i) == values[i]);
    expect(crc16_frame_ok(frame, total));
    expect(rtu_is_exception(frame) == (code >= 0x80));

    // MBAP header and TCP PDUs.
    std::uint8_t head[kMbapSize + 1];
    mbap_header(head, first, second, static_cast<std::uint16_t>(count), station);
    head[7] = code;
    expect(get16(head) == first && get16(head + 2) == second && get16(head + 4) == count && head[6] == station);
    expect(mbap_remaining(head) == static_cast<long>(count) - 2);
    expect(mbap_same_ids(head, head));
    std::uint8_t other[kMbapSize];
    std::memcpy(other, head, kMbapSize);
    other[4] ^= 0xFF;  // the length is not compared
    expect(mbap_same_ids(other, head));
    other[in.u8() % 7 == 4 ? 0 : 6] ^= 1;
    expect(!mbap_same_ids(other, head));

    std::uint8_t pdu[6 + 2 * kTcpMaxWriteRegisters];
    tcp_two_fields(pdu, code, first, second);
    expect(pdu[0] == code && get16(pdu + 1) == first && get16(pdu + 3) == second);
    tcp_write_coil(pdu, code, first, second & 1);
    expect(pdu[3] == ((second & 1) ? 0xFF : 0) && pdu[4] == 0);
    tcp_write_registers_head(pdu, code, first, count);
    expect(pdu[0] == code && get16(pdu + 1) == first && get16(pdu + 3) == count && pdu[5] == 2 * count);

    // Coil bits of whatever input is left.
    for (std::size_t i = 0; i < 8 * in.n; ++i) expect(coil_bit(in.p, i) == ((in.p[i / 8] >> (i % 8)) & 1));

    check_values(data, size);
    check_plan(data, size);
    check_exchange(data, size);
    check_rtu_exchange(data, size);
    check_answer_sizes(data, size);
    return 0;
}
