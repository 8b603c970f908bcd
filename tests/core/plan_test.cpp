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

const core_checks::Cases kCases = {
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
