// Checks of the poller's planning without the interpreter: `plan_test NAME` runs one case.
#include "cases.hpp"
#include "modbus/plan.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace brel::modbus;
using namespace brel::modbus::polling;

namespace {

std::vector<Point> row_of(std::size_t n, Table table = Table::Holding) {
    std::vector<Point> points;
    for (std::size_t a = 0; a < n; ++a) points.push_back({1, table, static_cast<std::uint16_t>(a), 1, 1.0});
    return points;
}

// A device that takes at most `limit`: probe at the planned size until the bound stops moving.
void every_limit_is_found_by_halving() {
    for (const Table table : {Table::Holding, Table::Coil}) {
        const std::size_t top = read_limit(table);
        const int bound = static_cast<int>(std::ceil(std::log2(static_cast<double>(top))));
        for (std::size_t limit = 1; limit <= top; ++limit) {
            BlockLimits limits;
            int refusals = 0;
            for (std::size_t ask = top, rounds = 0; rounds < 2 * top; ++rounds) {
                if (ask > limit) {
                    CHECK(limits.refused(1, table, ask));
                    ++refusals;
                } else {
                    limits.answered(1, table, ask);
                }
                const std::size_t next = limits.most(1, table);
                if (next == ask) break;
                ask = next;
            }
            CHECK(limits.most(1, table) == limit);
            CHECK(refusals <= bound);
            if (limits.most(1, table) != limit || refusals > bound)
                std::fprintf(stderr, "  limit %zu: most %zu after %d refusals\n", limit, limits.most(1, table),
                             refusals);
        }
    }
}

void a_refusal_of_a_size_read_before_is_not_a_limit() {
    BlockLimits limits;
    limits.answered(1, Table::Input, 40);
    CHECK(!limits.refused(1, Table::Input, 30));
    CHECK(!limits.refused(1, Table::Input, 40));
    CHECK(limits.most(1, Table::Input) == kMaxReadRegisters);
    CHECK(!limits.refused(2, Table::Input, 1));  // one register: no size below it
    CHECK(limits.refused(2, Table::Input, 2));
    CHECK(limits.most(2, Table::Input) == 1);
    CHECK(limits.most(1, Table::Holding) == kMaxReadRegisters);  // another table, untouched
}

void an_answer_beyond_the_refused_size_leaves_the_bound() {
    BlockLimits limits;
    CHECK(limits.refused(1, Table::Holding, 10));
    limits.answered(1, Table::Holding, 12);  // a lone wide point
    CHECK(limits.rows().size() == 1 && limits.rows()[0].answered == 0 && limits.rows()[0].refused == 10);
    CHECK(limits.most(1, Table::Holding) == 5);
}

void a_kept_bound_is_clamped() {
    BlockLimits limits;
    limits.answered(1, Table::Holding, 60);
    limits.set_refused(1, Table::Holding, 9);
    CHECK(limits.rows()[0].refused == 9 && limits.rows()[0].answered == 8);
    limits.set_refused(1, Table::Coil, 99999);
    CHECK(limits.most(1, Table::Coil) == kMaxReadBits / 2);
    limits.set_refused(1, Table::Input, 0);
    CHECK(limits.most(1, Table::Input) == 1);
}

void plans_keep_within_the_bound() {
    const std::vector<Point> points = row_of(100);
    BlockLimits limits;
    limits.set_refused(1, Table::Holding, 9);
    limits.answered(1, Table::Holding, 8);
    const std::vector<Request> plan = make_plan(points, {}, Gaps{}, limits);
    CHECK(plan.size() == 13);
    for (const Request& r : plan) CHECK(r.count <= 8);
    CHECK(make_plan(points, {}, Gaps{}).size() == 1);
}

void a_point_wider_than_the_bound_is_planned_alone() {
    std::vector<Point> points = row_of(3);
    points.push_back({1, Table::Holding, 3, 4, 1.0});
    BlockLimits limits;
    limits.set_refused(1, Table::Holding, 3);
    limits.answered(1, Table::Holding, 2);
    const std::vector<Request> plan = make_plan(points, {}, Gaps{}, limits);
    CHECK(plan.size() == 3);
    CHECK(plan.size() == 3 && plan[2].address == 3 && plan[2].count == 4 && plan[2].points.size() == 1);
}

void covers_tells_a_gap_between_parts() {
    const Request whole{1, Table::Holding, 1.0, 10, 20, {}};
    const std::vector<Request> touching{{1, Table::Holding, 1.0, 10, 8, {}}, {1, Table::Holding, 1.0, 18, 12, {}}};
    const std::vector<Request> overlapping{{1, Table::Holding, 1.0, 10, 12, {}}, {1, Table::Holding, 1.0, 15, 15, {}}};
    const std::vector<Request> apart{{1, Table::Holding, 1.0, 10, 8, {}}, {1, Table::Holding, 1.0, 19, 11, {}}};
    const std::vector<Request> short_end{{1, Table::Holding, 1.0, 10, 19, {}}};
    CHECK(covers(touching, whole));
    CHECK(covers(overlapping, whole));
    CHECK(!covers(apart, whole));
    CHECK(!covers(short_end, whole));
}

void the_gap_is_the_fixed_cost_over_the_cost_per_register() {
    ReadCosts costs;
    CHECK(!costs.gap());
    for (int i = 0; i < 5; ++i) costs.add(10, 0.03);
    CHECK(!costs.gap());  // one size: no slope
    ReadCosts serial;     // 9600 baud: about 2.3 ms a register, 25 ms a request
    ReadCosts tcp;        // loopback: 0.2 ms a request, nothing measurable a register
    for (int round = 0; round < 3; ++round)
        for (std::size_t n = 1; n <= 40; ++n) {
            serial.add(n, 0.025 + 0.0023 * static_cast<double>(n));
            if (round < 2) CHECK(!serial.gap());  // each size not yet read often enough
            tcp.add(n, 0.0002);
        }
    const auto fit = serial.fit();
    CHECK(fit && std::fabs(fit->fixed - 0.025) < 1e-9 && std::fabs(fit->per_register - 0.0023) < 1e-9);
    CHECK(serial.gap() == std::optional<std::size_t>(10));
    CHECK(tcp.gap() == std::optional<std::size_t>(kMaxReadRegisters));
    // Round trips that do not grow with the registers, with jitter: a least-squares slope alone
    // finds a cost per register (checked below), the fit takes it for noise.
    ReadCosts jitter;
    std::uint32_t seed = 11;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t k = 0; k < 48; ++k) {
        seed = seed * 1103515245u + 12345u;
        const double x = static_cast<double>(1 + 5 * (k % 16));
        const double y = 0.0002 + 0.0004 * static_cast<double>((seed >> 16) % 1000) / 1000.0;
        jitter.add(1 + 5 * (k % 16), y);
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    const double raw_slope = (48 * sxy - sx * sy) / (48 * sxx - sx * sx);
    CHECK(raw_slope > 1e-6);
    CHECK(jitter.fit() && jitter.fit()->per_register == 0);
    CHECK(jitter.gap() == std::optional<std::size_t>(kMaxReadRegisters));
    ReadCosts spikes;  // loopback round trips, two of them stretched by a busy machine
    for (int round = 0; round < 3; ++round)
        for (std::size_t n = 1; n <= 40; ++n) spikes.add(n, round == 1 && n > 38 ? 0.01 : 0.0002);
    CHECK(spikes.gap() == std::optional<std::size_t>(kMaxReadRegisters));
    ReadCosts free_requests;  // a request costs nothing more than its registers
    for (int round = 0; round < 3; ++round) {
        free_requests.add(1, 0.001);
        free_requests.add(10, 0.010);
    }
    CHECK(free_requests.gap() == std::optional<std::size_t>(0));
}

void the_costs_follow_the_last_reads() {
    ReadCosts costs;
    for (std::size_t i = 0; i < ReadCosts::kWindow; ++i)
        costs.add(1 + i % 20, 0.105 + 0.01 * static_cast<double>(1 + i % 20));
    CHECK(costs.gap() == std::optional<std::size_t>(10));
    for (std::size_t i = 0; i < ReadCosts::kWindow; ++i)
        costs.add(1 + i % 20, 0.035 + 0.01 * static_cast<double>(1 + i % 20));
    CHECK(costs.size() == ReadCosts::kWindow);
    CHECK(costs.gap() == std::optional<std::size_t>(3));
}

void a_gap_moves_only_beyond_noise() {
    CHECK(!gap_moved(16, 16) && !gap_moved(16, 19) && !gap_moved(16, 12) && gap_moved(16, 21) && gap_moved(16, 11));
    CHECK(!gap_moved(0, 1) && gap_moved(0, 2) && gap_moved(125, 10));
}

// A slave that refuses, as an illegal address, every read that touches one of its holes.
struct HoleySlave {
    std::vector<bool> hole;  // by address
    bool refuses(const Request& r) const {
        for (std::size_t a = r.address; a < std::size_t{r.address} + r.count; ++a)
            if (hole[a]) return true;
        return false;
    }
};

// One table of one station polled the way the poller does it: a refused request is cut where
// split_address says, the cut kept, and its points planned again and read at once.
struct Learning {
    std::span<const Point> points;
    const HoleySlave& slave;
    std::vector<Cut> cuts{};
    std::size_t sent = 0;
    std::size_t cut_refusals = 0;  // refused requests that were cut
    std::vector<bool> read = std::vector<bool>(points.size());

    void run(const Request& r) {
        ++sent;
        if (!slave.refuses(r)) {
            for (const std::size_t i : r.points) read[i] = true;
            return;
        }
        const auto at = split_address(points, r);
        if (!at) return;
        CHECK(*at > r.address && *at < std::size_t{r.address} + r.count);
        ++cut_refusals;
        cuts.push_back({r.station, r.table, r.period, *at});
        for (const Request& part : make_plan(points, r.points, cuts, Gaps{})) run(part);
    }
    std::size_t pass() {
        const std::size_t before = sent;
        for (const Request& r : make_plan(points, cuts, Gaps{})) run(r);
        return sent - before;
    }
};

std::size_t ceil_log2(std::size_t n) {
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < n) ++bits;
    return bits;
}

// `points` (one table, one period, in address order) polled twice from a slave with `holes`:
// every point outside a hole gets its value in the first pass; the first pass sends the
// requests of the plan it learned plus the refused requests it cut, at most ceil(log2(d)) of
// those for each hole (d: the registers from the first point's first register to the last
// point's, never more than the span asked), where a hole is a point that lies in one or a
// stretch between two points that does; the second pass learns nothing more.
bool holes_found_within_the_bound(const std::vector<Point>& points, const std::vector<std::size_t>& holes) {
    HoleySlave slave{std::vector<bool>(kMaxAddress + 1)};
    for (const std::size_t a : holes) slave.hole[a] = true;
    Learning learning{points, slave};
    const std::size_t first = learning.pass();
    const std::size_t refusals = learning.cut_refusals;
    const std::size_t second = learning.pass();
    // Points that share their first register are read together: such a group lies in a hole when
    // one of its points does. The stretch between two groups runs from the end of the first to the
    // start of the next (a wider point before them may cover it: a request without that point
    // still reads it).
    std::size_t hole_count = 0, end = 0, group_end = 0;
    bool read = true;
    for (std::size_t i = 0, next = 0; i < points.size(); i = next) {
        bool in_hole = false, before_it = false, all_read = true;
        for (std::size_t a = group_end; i > 0 && a < points[i].address; ++a) before_it = before_it || slave.hole[a];
        group_end = 0;
        for (next = i; next < points.size() && points[next].address == points[i].address; ++next) {
            for (std::size_t a = points[next].address; a < points[next].end(); ++a) in_hole = in_hole || slave.hole[a];
            all_read = all_read && learning.read[next];
            group_end = std::max(group_end, points[next].end());
        }
        end = std::max(end, group_end);
        hole_count += in_hole + before_it;
        read = read && (in_hole || all_read);
    }
    const std::size_t span = end - points.front().address;
    const std::size_t firsts = points.back().address - points.front().address + 1;
    const std::size_t bound = hole_count * ceil_log2(firsts);
    const bool ok = read && refusals <= bound && ceil_log2(firsts) <= ceil_log2(span) && first == second + refusals &&
                    learning.cut_refusals == refusals;
    if (!ok)
        std::fprintf(stderr,
                     "  %zu points over %zu, %zu holes from %zu: %zu refusals cut (bound %zu), passes %zu, %zu%s\n",
                     points.size(), span, hole_count, holes.empty() ? 0 : holes[0], refusals, bound, first, second,
                     read ? "" : ", a point lost");
    return ok;
}

std::vector<Point> spaced(std::size_t n, Table table, std::uint16_t width, std::size_t step) {
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({1, table, static_cast<std::uint16_t>(i * step), width, 1.0});
    return points;
}

// One hole in every position of every request of 1..125 registers: a point in it (points of one
// or two registers side by side), or the stretch between two points.
void one_hole_is_found_within_log2_of_the_span() {
    for (std::size_t n = 1; n <= kMaxReadRegisters; ++n)
        for (std::size_t p = 0; p < n; ++p) CHECK(holes_found_within_the_bound(row_of(n), {p}));
    for (std::size_t n = 1; 2 * n <= kMaxReadRegisters; ++n)
        for (std::size_t p = 0; p < 2 * n; ++p) CHECK(holes_found_within_the_bound(spaced(n, Table::Input, 2, 2), {p}));
    for (std::size_t n = 2; 2 * n - 1 <= kMaxReadRegisters; ++n)
        for (std::size_t p = 1; p < 2 * n - 1; p += 2)
            CHECK(holes_found_within_the_bound(spaced(n, Table::Holding, 1, 2), {p}));
    // Uneven gaps, the widest wherever they fall (the cut may not follow them past the bound),
    // and points of 1 to 4 registers, some overlapping.
    std::uint32_t seed = 3;
    for (int layout = 0; layout < 40; ++layout) {
        std::vector<Point> points;
        for (std::size_t a = 0;;) {
            seed = seed * 1103515245u + 12345u;
            const auto width = static_cast<std::uint16_t>(layout % 4 == 3 ? 1 + (seed >> 12) % 4 : 1);
            points.push_back({1, Table::Holding, static_cast<std::uint16_t>(a), width, 1.0});
            a += (layout % 4 == 3 ? 0 : 1) + (seed >> 16) % (layout % 2 ? 3 : 9);
            if (a + 4 > kMaxReadRegisters) break;
        }
        for (std::size_t a = 0; a < points.back().end(); ++a) CHECK(holes_found_within_the_bound(points, {a}));
    }
    // Gaps that narrow towards the end, each the widest of the points after it: followed blindly,
    // they keep three quarters of the points on one side, time and again.
    for (std::size_t n = 16; n <= 64; n *= 2) {
        std::vector<Point> points;
        for (std::size_t k = 0, a = 0, gap = 2 * ceil_log2(n); k < n; ++k) {
            if (k > 0 && k % (n / 16 * 3) == n / 16 && gap > 0) a += gap--;
            points.push_back({1, Table::Holding, static_cast<std::uint16_t>(a++), 1, 1.0});
        }
        for (std::size_t a = 0; a < points.back().end(); ++a) CHECK(holes_found_within_the_bound(points, {a}));
    }
}

// Several holes: every pair of positions in requests of a few sizes, and scattered sets of up to
// six in every size; each hole costs at most ceil(log2(d)) cut refusals.
void several_holes_cost_log2_each() {
    for (const std::size_t n : {2, 3, 5, 8, 9, 17, 33, 64, 65})
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) CHECK(holes_found_within_the_bound(row_of(n), {p, q}));
    std::uint32_t seed = 7;
    const auto next = [&seed](std::size_t below) {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::size_t>(seed >> 8) % below;
    };
    for (std::size_t n = 1; 2 * n - 1 <= kMaxReadRegisters; ++n)
        for (int round = 0; round < 8; ++round) {
            std::vector<std::size_t> holes;
            for (std::size_t k = 1 + next(6); k > 0; --k) holes.push_back(next(2 * n - 1));
            CHECK(holes_found_within_the_bound(spaced(n, Table::Holding, 1, 2), holes));
        }
    for (std::size_t n = 1; n <= kMaxReadBits; n += 1 + next(40)) {
        std::vector<std::size_t> holes;
        for (std::size_t k = 1 + next(6); k > 0; --k) holes.push_back(next(n));
        CHECK(holes_found_within_the_bound(row_of(n, Table::Coil), holes));
    }
}

// Bits: every request of 1..2000 bits side by side. A row's cut depends on nothing but its number
// of points (checked on rows at other addresses), so the refusals for a hole at each position
// follow from the cut of every shorter row; a sample is polled as the poller would.
void one_hole_in_2000_bits_is_found_within_log2_of_the_span() {
    std::vector<std::size_t> cut(kMaxReadBits + 1), worst(kMaxReadBits + 1);
    for (std::size_t n = 2; n <= kMaxReadBits; ++n) {
        std::vector<Point> points = row_of(n, Table::Coil);
        Request r{1, Table::Coil, 1.0, 0, static_cast<std::uint16_t>(n), {}};
        for (std::size_t i = 0; i < n; ++i) r.points.push_back(i);
        const auto at = split_address(points, r);
        CHECK(at && *at > 0 && *at < n);
        cut[n] = at ? *at : 0;
        for (Point& p : points) p.address = static_cast<std::uint16_t>(p.address + 5000 + n);
        r.address = static_cast<std::uint16_t>(5000 + n);
        CHECK(split_address(points, r) == std::optional<std::uint16_t>(static_cast<std::uint16_t>(5000 + n + cut[n])));
        // refused and cut once, then the side holding the hole: the worst position over both
        worst[n] = 1 + std::max(worst[cut[n]], worst[n - cut[n]]);
        CHECK(worst[n] <= ceil_log2(n));
        if (worst[n] > ceil_log2(n)) std::fprintf(stderr, "  %zu bits: %zu refusals\n", n, worst[n]);
    }
    for (const std::size_t n : {2, 3, 1000, 1024, 1025, 2000})
        for (std::size_t p = 0; p < n; p += 1 + p / 16)
            CHECK(holes_found_within_the_bound(row_of(n, Table::Coil), {p}));
}

const core_checks::Cases kCases = {
    {"one_hole_is_found_within_log2_of_the_span", one_hole_is_found_within_log2_of_the_span},
    {"several_holes_cost_log2_each", several_holes_cost_log2_each},
    {"one_hole_in_2000_bits_is_found_within_log2_of_the_span", one_hole_in_2000_bits_is_found_within_log2_of_the_span},
    {"the_gap_is_the_fixed_cost_over_the_cost_per_register", the_gap_is_the_fixed_cost_over_the_cost_per_register},
    {"the_costs_follow_the_last_reads", the_costs_follow_the_last_reads},
    {"a_gap_moves_only_beyond_noise", a_gap_moves_only_beyond_noise},
    {"every_limit_is_found_by_halving", every_limit_is_found_by_halving},
    {"a_refusal_of_a_size_read_before_is_not_a_limit", a_refusal_of_a_size_read_before_is_not_a_limit},
    {"an_answer_beyond_the_refused_size_leaves_the_bound", an_answer_beyond_the_refused_size_leaves_the_bound},
    {"a_kept_bound_is_clamped", a_kept_bound_is_clamped},
    {"plans_keep_within_the_bound", plans_keep_within_the_bound},
    {"a_point_wider_than_the_bound_is_planned_alone", a_point_wider_than_the_bound_is_planned_alone},
    {"covers_tells_a_gap_between_parts", covers_tells_a_gap_between_parts},
};

}  // namespace

int main(int argc, char** argv) { return core_checks::run_cases(argc, argv, kCases); }
