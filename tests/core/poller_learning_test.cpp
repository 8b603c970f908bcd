// Checks of a poller's walk of one pass without the interpreter: `poller_learning_test NAME` runs one case.
#include "cases.hpp"
#include "modbus/poller_learning.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

using namespace brel::modbus;
using namespace brel::modbus::polling;

namespace {

// A station that refuses a read touching a hole (code 2) or longer than `limit` (`limit_code`),
// or never answers (every station, or those in `dead_stations`).
struct Device {
    std::set<std::uint16_t> holes;
    std::size_t limit = kMaxReadRegisters;
    long limit_code = 3;
    bool dead = false;
    std::set<std::uint8_t> dead_stations;
};

struct PassResult {
    std::map<std::size_t, char> got;   // point -> 'v' value, 'r' refusal, 'f' failure, 's' skipped
    std::map<std::size_t, int> times;  // point -> how many times it was given something
    int sent = 0;
};

PassResult walk_once(const std::vector<Point>& points, Learning& learning, const Device& device, double now,
                     Gaps gaps = {}) {
    PassResult result;
    const auto give = [&](const Request& r, char what) {
        for (const std::size_t index : r.points) {
            result.got[index] = what;
            result.times[index] += 1;
        }
    };
    PassWalk walk(points, learning, gaps, now, make_plan(points, learning.cuts, gaps, learning.limits));
    while (const auto step = walk.next()) {
        const Request& r = step->request;
        if (step->what == PassWalk::Step::Do::Skip) {
            give(r, 's');
            continue;
        }
        ++result.sent;
        bool hole = false;
        for (std::size_t a = r.address; a < std::size_t{r.address} + r.count; ++a)
            hole = hole || device.holes.count(static_cast<std::uint16_t>(a));
        if (device.dead || device.dead_stations.count(r.station)) {
            walk.failed(Failure::Timeout);
            give(r, 'f');
        } else if (r.count > device.limit) {
            if (walk.refused(device.limit_code, 0.001)) give(r, 'r');
        } else if (hole) {
            if (walk.refused(2, 0.001)) give(r, 'r');
        } else {
            walk.took(0.001);
            walk.answered();
            give(r, 'v');
        }
    }
    return result;
}

std::vector<Point> row_of(std::size_t n, std::uint16_t step = 1) {
    std::vector<Point> points;
    for (std::size_t a = 0; a < n; ++a)
        points.push_back({1, Table::Holding, static_cast<std::uint16_t>(a * step), 1, 1.0});
    return points;
}

// Every point is given exactly one thing per pass, and every point outside a hole its value.
void check_pass(const PassResult& pass, const std::vector<Point>& points, const Device& device) {
    for (std::size_t i = 0; i < points.size(); ++i) {
        CHECK(pass.times.count(i) && pass.times.at(i) == 1);
        const char want = device.holes.count(points[i].address) ? 'r' : 'v';
        CHECK(pass.got.count(i) && pass.got.at(i) == want);
    }
}

void a_hole_is_cut_out_within_the_pass() {
    const std::vector<Point> points = row_of(20);
    Device device;
    device.holes = {7};
    Learning learning;
    const PassResult first = walk_once(points, learning, device, 0);
    check_pass(first, points, device);
    // one point in a hole among 20 is found in at most ceil(log2(20)) + 1 refusals
    CHECK(first.sent <= 1 + 2 * static_cast<int>(std::ceil(std::log2(20.0))) + 1);
    const std::size_t cuts = learning.cuts.size();
    CHECK(cuts >= 2 && cuts <= static_cast<std::size_t>(std::ceil(std::log2(20.0))));
    const PassResult second = walk_once(points, learning, device, 1);
    check_pass(second, points, device);
    // nothing more to learn: one request between two cuts, the hole's refused on its own
    CHECK(learning.cuts.size() == cuts);
    CHECK(second.sent == static_cast<int>(cuts) + 1);
    CHECK(learning.figures[1].unit.failures == 0 && !learning.figures[1].unit.down);
}

void a_block_limit_is_learned_and_no_point_lost() {
    for (const long code : {2L, 3L}) {
        for (const std::size_t limit : {1u, 5u, 8u, 13u}) {
            const std::vector<Point> points = row_of(40);
            Device device;
            device.limit = limit;
            device.limit_code = code;
            Learning learning;
            for (int pass = 0; pass < 8; ++pass) check_pass(walk_once(points, learning, device, pass), points, device);
            CHECK(learning.limits.most(1, Table::Holding) == limit);
            CHECK(learning.cuts.empty());  // a refusal of the size leaves no cut behind
            const PassResult steady = walk_once(points, learning, device, 9);
            CHECK(steady.sent == static_cast<int>((40 + limit - 1) / limit));
            if (learning.limits.most(1, Table::Holding) != limit || !learning.cuts.empty())
                std::fprintf(stderr, "  code %ld limit %zu: most %zu, %zu cuts\n", code, limit,
                             learning.limits.most(1, Table::Holding), learning.cuts.size());
        }
    }
}

void a_failure_is_never_split_and_a_dead_unit_is_tried_once_per_backoff() {
    const std::vector<Point> points = row_of(3, 100);  // three requests
    Device device;
    device.dead = true;
    Learning learning;
    learning.max_failures = 2;
    learning.max_backoff = 3.0;
    // a pass ends at the station's first failure, and counts one
    const PassResult first = walk_once(points, learning, device, 0);
    CHECK(first.sent == 1);
    CHECK(first.got.at(0) == 'f' && first.got.at(1) == 's' && first.got.at(2) == 's');
    CHECK(learning.figures[1].unit.failures == 1 && !learning.figures[1].unit.down);
    const PassResult second = walk_once(points, learning, device, 0);
    CHECK(second.sent == 1 && second.got.at(2) == 's');
    CHECK(learning.figures[1].unit.down && learning.figures[1].unit.backoff == 1.0);
    std::vector<int> sent;
    for (const double now : {0.5, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0})
        sent.push_back(walk_once(points, learning, device, now).sent);
    // retried at 1 (back-off 1), 3 (2), 6 (3, the most), then not before 9
    CHECK((sent == std::vector<int>{0, 1, 0, 1, 0, 0, 1, 0}));
    CHECK(learning.figures[1].requests == 5 && learning.figures[1].timeouts == 5 && learning.figures[1].answers == 0);
    CHECK(learning.cuts.empty());
}

// Three stations, their requests interleaved by address; the middle one dead.
std::vector<Point> three_stations() {
    std::vector<Point> points;
    for (std::uint8_t station = 1; station <= 3; ++station)
        for (std::uint16_t k = 0; k < 3; ++k) points.push_back({station, Table::Holding, std::uint16_t(k * 100), 1, 1.0});
    return points;
}

void a_failure_ends_only_its_own_stations_pass() {
    const std::vector<Point> points = three_stations();
    Device device;
    device.dead_stations = {2};
    Learning learning;
    learning.max_failures = 3;
    for (int pass = 1; pass <= 3; ++pass) {
        const PassResult result = walk_once(points, learning, device, pass);
        CHECK(result.sent == 7);  // three to each live station, one to the dead
        for (std::size_t i = 0; i < points.size(); ++i) {
            CHECK(result.times.count(i) && result.times.at(i) == 1);
            if (points[i].station != 2) CHECK(result.got.at(i) == 'v');
        }
        int sent_to_dead = 0;
        for (std::size_t i = 0; i < points.size(); ++i)
            if (points[i].station == 2) sent_to_dead += result.got.at(i) == 'f';
        CHECK(sent_to_dead == 1);  // one request, the others given its failure
        CHECK(learning.figures[2].unit.failures == static_cast<unsigned long long>(pass));
        CHECK(learning.figures[2].unit.down == (pass == 3));
        CHECK(learning.figures[1].unit.failures == 0 && learning.figures[3].unit.failures == 0);
    }
    CHECK(learning.figures[2].timeouts == 3 && learning.figures[2].requests == 3);
    CHECK(learning.figures[1].answers == 9 && learning.figures[3].answers == 9);
}

void a_transient_failure_does_not_mark_a_unit_down() {
    const std::vector<Point> points = row_of(4, 100);  // four requests
    Learning learning;
    learning.max_failures = 2;
    Device device;
    for (int pass = 0; pass < 4; ++pass) {
        device.dead = pass % 2 == 0;  // every other pass times out
        const PassResult result = walk_once(points, learning, device, pass);
        CHECK(result.sent == (device.dead ? 1 : 4));
        CHECK(!learning.figures[1].unit.down);
        CHECK(learning.figures[1].unit.failures == (device.dead ? 1u : 0u));
    }
}

void a_gateway_that_cannot_reach_the_unit_counts_as_a_failure() {
    for (const long code : {10L, 11L}) {
        const std::vector<Point> points = row_of(4);
        Learning learning;
        learning.max_failures = 1;
        PassWalk walk(points, learning, {}, 0, make_plan(points, learning.cuts, {}, learning.limits));
        CHECK(walk.next().has_value());
        CHECK(walk.refused(code, 0.001));  // its points get the refusal: not split
        CHECK(!walk.next().has_value());
        CHECK(learning.figures[1].unit.down && learning.figures[1].slave_exceptions == 1 && learning.cuts.empty());
    }
}

void an_abandoned_request_is_not_counted() {
    const std::vector<Point> points = row_of(2, 100);
    Learning learning;
    learning.max_failures = 1;
    {
        PassWalk walk(points, learning, {}, 0, make_plan(points, learning.cuts, {}, learning.limits));
        CHECK(walk.next().has_value());
        walk.failed(Failure::Timeout);  // down, retry at 1
    }
    PassWalk walk(points, learning, {}, 1.0, make_plan(points, learning.cuts, {}, learning.limits));
    const auto step = walk.next();
    CHECK(step && step->what == PassWalk::Step::Do::Send);
    walk.abandoned();
    CHECK(learning.figures[1].requests == 1);
    CHECK(learning.figures[1].unit.retry_at == 1.0);  // to be tried again at once
}

const core_checks::Cases kCases = {
    {"a_hole_is_cut_out_within_the_pass", a_hole_is_cut_out_within_the_pass},
    {"a_block_limit_is_learned_and_no_point_lost", a_block_limit_is_learned_and_no_point_lost},
    {"a_failure_is_never_split_and_a_dead_unit_is_tried_once_per_backoff",
     a_failure_is_never_split_and_a_dead_unit_is_tried_once_per_backoff},
    {"a_gateway_that_cannot_reach_the_unit_counts_as_a_failure",
     a_gateway_that_cannot_reach_the_unit_counts_as_a_failure},
    {"an_abandoned_request_is_not_counted", an_abandoned_request_is_not_counted},
    {"a_failure_ends_only_its_own_stations_pass", a_failure_ends_only_its_own_stations_pass},
    {"a_transient_failure_does_not_mark_a_unit_down", a_transient_failure_does_not_mark_a_unit_down},
};

}  // namespace

int main(int argc, char** argv) { return core_checks::run_cases(argc, argv, kCases); }
