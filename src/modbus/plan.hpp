// The poller's planning, without the interpreter: which points one request reads, when a
// request is due, where a refused request is cut, and the round-trip figures.
//
// A point is a value in one table of one station: `width` registers (its format's size) or
// one bit, read every `period` seconds. Points of the same station, table and period are
// merged, in address order, into one request while
//   - the registers (or bits) between the request so far and the next point are at most
//     the table's gap (Gaps),
//   - the request stays within the read limit of its function code (125 registers, 2000
//     bits: adu.hpp),
//   - no learned cut of that group lies between the request's first point and the next one.
// A cut is learned when the slave refuses a merged request as an illegal address or value:
// the request's points are cut in two (split_address), and both parts are planned again, for
// good.
// A slave may also take no more than so many registers (or bits) of a table in one read:
// BlockLimits learns that bound by halving what is still unknown at each refusal, and later
// plans keep within it.
#pragma once

#include "modbus/adu.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace brel::modbus::polling {

// In the order a plan lists them.
enum class Table : std::uint8_t { Holding, Input, Coil, Discrete };

constexpr bool is_bits(Table t) noexcept { return t == Table::Coil || t == Table::Discrete; }
constexpr std::size_t read_limit(Table t) noexcept { return is_bits(t) ? kMaxReadBits : kMaxReadRegisters; }
constexpr std::uint8_t read_code(Table t) noexcept {
    switch (t) {
        case Table::Holding:
            return kReadHoldingRegisters;
        case Table::Input:
            return kReadInputRegisters;
        case Table::Coil:
            return kReadCoils;
        case Table::Discrete:
            return kReadDiscreteInputs;
    }
    return 0;
}

struct Point {
    std::uint8_t station = 0;
    Table table = Table::Holding;
    std::uint16_t address = 0;
    std::uint16_t width = 1;  // registers of its format; 1 for a bit
    double period = 1.0;      // seconds, positive and finite

    constexpr std::size_t end() const noexcept { return std::size_t{address} + width; }
};

// The most registers or bits left unread between two points of one request.
struct Gaps {
    std::size_t registers = 16;
    std::size_t bits = 256;
    constexpr std::size_t of(Table t) const noexcept { return is_bits(t) ? bits : registers; }
};

// No request of the group (station, table, period) holds both a point below `address` and
// one at `address` or above. A period of 0 stands for every period (a cut kept from an
// earlier run, whose periods may have been others).
struct Cut {
    std::uint8_t station = 0;
    Table table = Table::Holding;
    double period = 0;
    std::uint16_t address = 0;
};

struct Request {
    std::uint8_t station = 0;
    Table table = Table::Holding;
    double period = 0;
    std::uint16_t address = 0;
    std::uint16_t count = 0;
    std::vector<std::size_t> points;  // indices into the points, by address then index
};

// What one station takes in one read of one table: `answered` registers (or bits) went
// through, `refused` were refused for their number (0: no such refusal yet).
struct BlockLimit {
    std::uint8_t station = 0;
    Table table = Table::Holding;
    std::uint16_t answered = 0;
    std::uint16_t refused = 0;

    // The largest request to plan: with a refusal known, halfway between what went through and
    // what was refused, so that each further refusal halves what is left unknown and each answer
    // at that size raises the floor; the bound is found once refused == answered + 1.
    constexpr std::size_t most() const noexcept {
        if (refused == 0) return read_limit(table);
        return std::max<std::size_t>(1, (std::size_t{answered} + refused) / 2);
    }
};

class BlockLimits {
public:
    std::size_t most(std::uint8_t station, Table table) const noexcept {
        const BlockLimit* row = find(station, table);
        return row ? row->most() : read_limit(table);
    }
    // A read of `count` went through.
    void answered(std::uint8_t station, Table table, std::size_t count) {
        BlockLimit& row = at(station, table);
        if ((row.refused == 0 || count < row.refused) && count > row.answered)
            row.answered = static_cast<std::uint16_t>(count);
    }
    // A read of `count` was refused as an illegal address or value. True when that is news about
    // the size (more than has gone through): the bound is lowered. False when a read of that size
    // has gone through before: the refusal is about the addresses, not their number.
    bool refused(std::uint8_t station, Table table, std::size_t count) {
        BlockLimit& row = at(station, table);
        if (count <= row.answered || count < 2) return false;
        if (row.refused == 0 || count < row.refused) row.refused = static_cast<std::uint16_t>(count);
        return true;
    }
    // A bound learned elsewhere (kept from an earlier run): reads of `count` are refused.
    void set_refused(std::uint8_t station, Table table, std::size_t count) {
        BlockLimit& row = at(station, table);
        row.refused = static_cast<std::uint16_t>(std::clamp<std::size_t>(count, 2, read_limit(table)));
        if (row.answered >= row.refused) row.answered = static_cast<std::uint16_t>(row.refused - 1);
    }
    // Every station and table read so far, those with a refusal having a bound.
    std::span<const BlockLimit> rows() const noexcept { return rows_; }

private:
    const BlockLimit* find(std::uint8_t station, Table table) const noexcept {
        for (const BlockLimit& row : rows_)
            if (row.station == station && row.table == table) return &row;
        return nullptr;
    }
    BlockLimit& at(std::uint8_t station, Table table) {
        for (BlockLimit& row : rows_)
            if (row.station == station && row.table == table) return row;
        rows_.push_back({station, table, 0, 0});
        return rows_.back();
    }
    std::vector<BlockLimit> rows_;
};

// Whether the registers (or bits) of `parts` together cover every one of `whole`: then no
// register of `whole` lies outside a read that went through.
inline bool covers(std::span<const Request> parts, const Request& whole) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const Request& part : parts) spans.emplace_back(part.address, std::size_t{part.address} + part.count);
    std::sort(spans.begin(), spans.end());
    std::size_t end = whole.address;
    for (const auto& [first, last] : spans) {
        if (first > end) return false;
        end = std::max(end, last);
    }
    return end >= std::size_t{whole.address} + whole.count;
}

namespace detail {
constexpr bool same_group(const Point& a, const Point& b) noexcept {
    return a.station == b.station && a.table == b.table && a.period == b.period;
}
// Group first, then address, then the order the points were added.
struct GroupOrder {
    std::span<const Point> points;
    bool operator()(std::size_t i, std::size_t j) const noexcept {
        const Point &a = points[i], &b = points[j];
        if (a.station != b.station) return a.station < b.station;
        if (a.table != b.table) return a.table < b.table;
        if (a.period != b.period) return a.period < b.period;
        if (a.address != b.address) return a.address < b.address;
        return i < j;
    }
};
}  // namespace detail

// The requests that read the points named by `subset` (indices into `points`), listed by
// station, table, address, then period.
inline std::vector<Request> make_plan(std::span<const Point> points, std::span<const std::size_t> subset,
                                      std::span<const Cut> cuts, Gaps gaps, const BlockLimits& limits = {}) {
    std::vector<std::size_t> order(subset.begin(), subset.end());
    std::sort(order.begin(), order.end(), detail::GroupOrder{points});
    std::vector<Request> plan;
    std::vector<std::uint16_t> group_cuts;  // the cut addresses of the current group, sorted
    const Point* group = nullptr;
    std::size_t end = 0;  // one past the last register or bit of the open request
    for (const std::size_t index : order) {
        const Point& p = points[index];
        if (!group || !detail::same_group(*group, p)) {
            group = &p;
            group_cuts.clear();
            for (const Cut& c : cuts)
                if (c.station == p.station && c.table == p.table && (c.period == p.period || c.period == 0))
                    group_cuts.push_back(c.address);
            std::sort(group_cuts.begin(), group_cuts.end());
        } else {
            Request& open = plan.back();
            const std::size_t gap = p.address > end ? p.address - end : 0;
            const std::size_t new_end = std::max(end, p.end());
            // a cut in (open.address, p.address]
            const auto cut = std::upper_bound(group_cuts.begin(), group_cuts.end(), open.address);
            const bool cut_between = cut != group_cuts.end() && *cut <= p.address;
            const std::size_t most = std::min(read_limit(p.table), limits.most(p.station, p.table));
            if (gap <= gaps.of(p.table) && new_end - open.address <= most && !cut_between) {
                end = new_end;
                open.count = static_cast<std::uint16_t>(end - open.address);
                open.points.push_back(index);
                continue;
            }
        }
        plan.push_back({p.station, p.table, p.period, p.address, p.width, {index}});
        end = p.end();
    }
    std::stable_sort(plan.begin(), plan.end(), [](const Request& a, const Request& b) {
        if (a.station != b.station) return a.station < b.station;
        if (a.table != b.table) return a.table < b.table;
        if (a.address != b.address) return a.address < b.address;
        return a.period < b.period;
    });
    return plan;
}

inline std::vector<Request> make_plan(std::span<const Point> points, std::span<const Cut> cuts, Gaps gaps,
                                      const BlockLimits& limits = {}) {
    std::vector<std::size_t> all(points.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    return make_plan(points, all, cuts, gaps, limits);
}

// Where a refused request is cut in two: before one of its points (by address order) that
// starts at a new address. The cuts are a bisection of the registers (or bits) that hold the
// points' first ones: with those lying within d of each other (from the first point's first
// register to the last point's, both counted), and h the power of two at or above d, each side
// keeps its first registers within h / 2 of each other. Such a cut always exists (the first
// point starting h / 2 or more past the first), and a request whose points all start at one
// address is not cut, so a point lying in a hole is alone after ceil(log2(d)) refusals at most.
// The refused requests that are cut (the first included) number at most ceil(log2(d)) for each
// hole, a hole being a point that lies in one or a stretch between two points that holds one;
// they are what a pass that meets holes sends beyond the plan it learns, and d is at most the
// registers (or bits) asked. Among the cuts within that bound, the one at the widest gap between
// points, the nearest the middle among equal gaps: a hole between two blocks of registers (where
// no point lies) is then usually found with one refusal, and the cuts kept for later plans lie
// where the slave has no registers. None when all the points start at one address (one point,
// or points that share their first register).
inline std::optional<std::uint16_t> split_address(std::span<const Point> points, const Request& request) {
    const std::size_t n = request.points.size();
    if (n < 2) return std::nullopt;
    const std::size_t first = points[request.points.front()].address;
    const std::size_t last = points[request.points.back()].address;
    if (first == last) return std::nullopt;
    std::size_t half = 1;  // how far apart the first registers of either side may lie, counted as d
    while (2 * half < last - first + 1) half *= 2;
    struct Best {
        bool found = false;
        long long gap = 0;         // registers or bits between the points before and this one
        std::size_t distance = 0;  // from the middle of the first registers, doubled
        std::uint16_t address = 0;
    } best;
    std::size_t end = points[request.points[0]].end();
    for (std::size_t k = 1; k < n; ++k) {
        const Point& here = points[request.points[k]];
        const std::size_t before = points[request.points[k - 1]].address;
        const long long gap = static_cast<long long>(here.address) - static_cast<long long>(end);
        end = std::max(end, here.end());
        if (here.address == before) continue;
        if (before - first + 1 > half || last - here.address + 1 > half) continue;
        const std::size_t twice = std::size_t{here.address} + before;
        const std::size_t distance = twice > first + last ? twice - first - last : first + last - twice;
        if (!best.found || gap > best.gap || (gap == best.gap && distance < best.distance))
            best = {true, gap, distance, here.address};
    }
    return best.address;  // found: the first point starting half or more past the first one qualifies
}

// ---- when requests are due ------------------------------------------------------------

// The points of one period share a schedule on a grid: the first pass at `start`, then
// start + k * period. A pass that ends late skips the slots it missed instead of catching up.
struct Schedule {
    double period = 1.0;
    bool started = false;
    double due = 0;  // the next slot, once started

    constexpr bool is_due(double now) const noexcept { return !started || due <= now; }
    // Called after the pass that ran at `now`.
    void advance(double now) noexcept {
        if (!started) {
            started = true;
            due = now;
        }
        if (due > now) return;
        const double behind = std::floor((now - due) / period);
        double next = due + (behind + 1) * period;
        if (!(next > now)) next = due + (behind + 2) * period;  // rounding
        // A period too small to move a time of this size: the next moment the clock can tell.
        if (!(next > now)) next = std::nextafter(now, INFINITY);
        due = next;
    }
};

// ---- round trips ----------------------------------------------------------------------

// The last N items added: once full, each new one replaces the oldest.
template <class T, std::size_t N>
class Ring {
public:
    void add(const T& item) {
        if (items_.size() < N) {
            items_.push_back(item);
        } else {
            items_[next_] = item;
            next_ = (next_ + 1) % N;
        }
    }
    const std::vector<T>& items() const noexcept { return items_; }

private:
    std::vector<T> items_;
    std::size_t next_ = 0;  // the oldest item once full
};

// The last kWindow round-trip times of a station, in seconds.
class RoundTrips {
public:
    static constexpr std::size_t kWindow = 4096;

    void add(double seconds) { samples_.add(seconds); }
    std::size_t size() const noexcept { return samples_.items().size(); }
    // The nearest-rank percentile (1 to 100): the smallest sample with at least `percent` %
    // of the samples at or below it. None without samples.
    std::optional<double> percentile(unsigned percent) const {
        if (samples_.items().empty()) return std::nullopt;
        std::vector<double> sorted(samples_.items());
        const std::size_t n = sorted.size();
        std::size_t rank = (static_cast<std::size_t>(percent) * n + 99) / 100;
        rank = std::clamp<std::size_t>(rank, 1, n);
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank - 1), sorted.end());
        return sorted[rank - 1];
    }

private:
    Ring<double, kWindow> samples_;
};

// ---- the gap worth reading -------------------------------------------------------------

// What reads of registers cost on one line: the round trip of a read as a fixed cost per
// request plus a cost per register, fitted (least squares) to the median round trip of each
// size among the last kWindow answered reads; a cost per register that the jitter of the round
// trips hides is taken as none.
// A gap of registers is worth reading instead of sending another request while it costs less
// than that request: up to fixed / per_register registers.
class ReadCosts {
public:
    static constexpr std::size_t kWindow = 512;
    static constexpr std::size_t kEnough = 3;  // reads of one size before their median counts

    void add(std::size_t registers, double seconds) { samples_.add({static_cast<double>(registers), seconds}); }
    std::size_t size() const noexcept { return samples_.items().size(); }

    struct Fit {
        double fixed = 0;         // seconds per request
        double per_register = 0;  // seconds per register read
    };
    // None until reads of at least two sizes were measured kEnough times each.
    std::optional<Fit> fit() const {
        // The median round trip of each size read kEnough times or more: a round trip that a busy
        // machine (or a first call) stretched now and then moves no median, where it would tilt a
        // fit of the raw samples.
        std::vector<Sample> sorted(samples_.items());
        std::sort(sorted.begin(), sorted.end(), [](const Sample& a, const Sample& b) {
            return a.registers != b.registers ? a.registers < b.registers : a.seconds < b.seconds;
        });
        std::vector<Sample> medians;
        for (std::size_t first = 0; first < sorted.size();) {
            std::size_t last = first;
            while (last < sorted.size() && sorted[last].registers == sorted[first].registers) ++last;
            const std::size_t count = last - first;
            if (count < kEnough) {
                first = last;
                continue;
            }
            const double median = count % 2
                                      ? sorted[first + count / 2].seconds
                                      : (sorted[first + count / 2 - 1].seconds + sorted[first + count / 2].seconds) / 2;
            medians.push_back({sorted[first].registers, median});
            first = last;
        }
        if (medians.size() < 2) return std::nullopt;
        const double n = static_cast<double>(medians.size());
        double mx = 0, my = 0;
        for (const Sample& s : medians) {
            mx += s.registers;
            my += s.seconds;
        }
        mx /= n;
        my /= n;
        double sxx = 0, sxy = 0;
        for (const Sample& s : medians) {
            sxx += (s.registers - mx) * (s.registers - mx);
            sxy += (s.registers - mx) * (s.seconds - my);
        }
        double slope = sxy / sxx;
        // A slope within two standard errors of nothing is noise (the jitter of a fast link):
        // a register then costs nothing measurable, and the fixed cost is the mean round trip.
        if (medians.size() > 2) {
            double residuals = 0;
            for (const Sample& s : medians) {
                const double r = s.seconds - (my + slope * (s.registers - mx));
                residuals += r * r;
            }
            const double error = std::sqrt(residuals / (n - 2) / sxx);
            if (slope < 2 * error) slope = 0;
        }
        return Fit{my - slope * mx, slope};
    }
    // The gap worth reading, within 0..kMaxReadRegisters; None until fit() has an answer.
    std::optional<std::size_t> gap() const {
        const auto f = fit();
        if (!f) return std::nullopt;
        if (!(f->per_register > 0)) return kMaxReadRegisters;  // a register costs nothing measurable
        if (!(f->fixed > 0)) return 0;
        const double registers = std::floor(f->fixed / f->per_register);
        return registers >= static_cast<double>(kMaxReadRegisters) ? kMaxReadRegisters
                                                                   : static_cast<std::size_t>(registers);
    }

private:
    struct Sample {
        double registers;
        double seconds;
    };
    Ring<Sample, kWindow> samples_;
};

// Whether a newly measured gap should replace the one planned with: when it differs by more than
// a quarter (and at least one register), so that noise in the round trips does not plan again and
// again.
constexpr bool gap_moved(std::size_t planned, std::size_t measured) noexcept {
    const std::size_t diff = planned > measured ? planned - measured : measured - planned;
    return diff > std::max<std::size_t>(1, planned / 4);
}

}  // namespace brel::modbus::polling
