// What a poller learns of the stations behind one master, and the walk of one pass over them:
// which request goes next, and what each answer, refusal or failure teaches; without the
// interpreter and without I/O, so that a poller that blocks and one that awaits share it.
//
// A refusal as an illegal address (exception code 2), or as an illegal value (3) at a size
// that went through before, cuts the request in two (split_address), the cut kept for good; a
// refusal with code 3 otherwise, or with code 2 when the parts then read every register,
// lowers the station's block bound for the table (BlockLimits). Either way the points are read
// at once, within the pass. A failure of the link or of the unit (time-out, CRC, mismatch, lost
// connection, gateway codes 10 and 11) is never split: it counts against the station (Unit),
// which after max_failures in a row is tried by one request per back-off only. A failure also
// ends the station's pass: its requests left in that pass are not sent, their points get the
// same failure, and the pass counts one failure for the station, however many requests it has.
#pragma once

#include "modbus/plan.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace brel::modbus::polling {

// Whether a station is answering. max_failures failures in a row mark it down: its requests
// are then skipped, but for one request tried after each back-off, which doubles from the
// station's shortest period up to max_backoff. Any answer, a refusal included, marks it up.
struct Unit {
    unsigned long long failures = 0;  // in a row
    bool down = false;
    bool has_success = false;
    double last_success = 0;  // the last request answered with values
    double backoff = 0;       // while down
    double retry_at = 0;      // while down: when one request is tried again
};

// The figures of one station.
struct Figures {
    unsigned long long requests = 0, answers = 0, timeouts = 0, crc_errors = 0, mismatches = 0, slave_exceptions = 0,
                       other_errors = 0;
    RoundTrips round_trips;
    Unit unit;
};

// How a request that got no values ended, as the poller counts it.
enum class Failure : std::uint8_t { Timeout, Crc, Mismatch, Slave, Other };

// What a poller knows of the stations of one master.
struct Learning {
    std::vector<Cut> cuts;
    BlockLimits limits;
    std::map<std::uint8_t, Figures> figures;  // one per station with points
    unsigned long long max_failures = 3;
    double max_backoff = 60.0;
    bool replan = false;  // set when something learned changes the plan

    double shortest_period(const std::vector<Point>& points, std::uint8_t station) const {
        double shortest = INFINITY;
        for (const Point& p : points)
            if (p.station == station) shortest = std::min(shortest, p.period);
        return shortest;
    }
    void unit_answered(std::uint8_t station, double now, bool with_values) {
        Unit& unit = figures[station].unit;
        unit.failures = 0;
        unit.down = false;
        if (with_values) {
            unit.has_success = true;
            unit.last_success = now;
        }
    }
    void unit_failed(const std::vector<Point>& points, std::uint8_t station, double now) {
        Unit& unit = figures[station].unit;
        unit.failures += 1;
        if (unit.down) {
            unit.backoff = std::min(2 * unit.backoff, max_backoff);
        } else if (unit.failures >= max_failures) {
            unit.down = true;
            unit.backoff = std::min(shortest_period(points, station), max_backoff);
        } else {
            return;
        }
        unit.retry_at = now + unit.backoff;
    }
};

// One pass over the requests of one master. next() names the request to send (or one to skip,
// its station being down); the poller sends it, then tells the walk how it ended with exactly
// one of answered(), failed(), refused() or abandoned(). A refusal may push its parts, which
// next() then names before the requests that follow. The points may grow while the walk is
// under way: it holds the vector, not a view of it.
class PassWalk {
public:
    PassWalk(const std::vector<Point>& points, Learning& learning, Gaps gaps, double now, std::vector<Request> requests)
        : points_(points), learning_(learning), gaps_(gaps), now_(now) {
        frames_.push_back({std::move(requests)});
    }

    struct Step {
        enum class Do : std::uint8_t { Send, Skip } what;
        Request request;
    };

    // The next request, or none once the pass is over. A Skip is over at once: its points get
    // the station's last failure (its station is down, or failed in this pass).
    std::optional<Step> next() {
        for (;;) {
            Frame& top = frames_.back();
            if (top.next == top.parts.size()) {
                Outcome result = finish(top);
                frames_.pop_back();
                if (frames_.empty()) return std::nullopt;
                frames_.back().outcome = std::max(frames_.back().outcome, result);
                continue;
            }
            Request r = top.parts[top.next++];
            // planned before a smaller bound was learned in this pass: planned again within it
            if (r.points.size() > 1 && r.count > learning_.limits.most(r.station, r.table)) {
                push_plan(r.points);
                continue;
            }
            if (failed_[r.station]) {
                frames_.back().outcome = std::max(frames_.back().outcome, Outcome::Failed);
                return Step{Step::Do::Skip, std::move(r)};
            }
            if (Unit& unit = learning_.figures[r.station].unit; unit.down) {
                if (now_ < unit.retry_at) {
                    frames_.back().outcome = std::max(frames_.back().outcome, Outcome::Failed);
                    return Step{Step::Do::Skip, std::move(r)};
                }
                unit.retry_at = INFINITY;  // this request is the one try until it ends
            }
            learning_.figures[r.station].requests += 1;
            sent_ = r;
            return Step{Step::Do::Send, std::move(r)};
        }
    }

    // The request sent last was answered after `seconds`.
    void took(double seconds) { learning_.figures[sent_.station].round_trips.add(seconds); }

    // The request sent last got its values (its round trip told by took()).
    void answered() {
        Figures& f = learning_.figures[sent_.station];
        f.answers += 1;
        learning_.limits.answered(sent_.station, sent_.table, sent_.count);
        learning_.unit_answered(sent_.station, now_, true);
    }

    // The request sent last failed (time-out, CRC, mismatch, a lost connection, an answer
    // that could not be decoded): its points get the failure.
    void failed(Failure kind) {
        Figures& f = learning_.figures[sent_.station];
        switch (kind) {
            case Failure::Timeout:
                f.timeouts += 1;
                break;
            case Failure::Crc:
                f.crc_errors += 1;
                break;
            case Failure::Mismatch:
                f.mismatches += 1;
                break;
            case Failure::Slave:
                f.slave_exceptions += 1;
                break;
            case Failure::Other:
                f.other_errors += 1;
                break;
        }
        learning_.unit_failed(points_, sent_.station, now_);
        failed_.set(sent_.station);
        frames_.back().outcome = std::max(frames_.back().outcome, Outcome::Failed);
    }

    // The request sent last was refused with exception `code`. True when its points get the
    // refusal; false when it was split, its parts to be read next.
    bool refused(long code, double round_trip) {
        Figures& f = learning_.figures[sent_.station];
        // Gateway path unavailable, gateway target failed to respond: the unit is not there.
        if (code == 10 || code == 11) {
            f.round_trips.add(round_trip);
            failed(Failure::Slave);
            return true;
        }
        f.slave_exceptions += 1;
        f.round_trips.add(round_trip);
        learning_.unit_answered(sent_.station, now_, false);
        Frame& here = frames_.back();
        if (code != 2 && code != 3) {
            here.outcome = std::max(here.outcome, Outcome::Failed);
            return true;
        }
        const auto cut_at = split_address(points_, sent_);
        if (!cut_at) {
            here.outcome = std::max(here.outcome, Outcome::Hole);
            return true;
        }
        learning_.replan = true;
        if (code == 3 && learning_.limits.refused(sent_.station, sent_.table, sent_.count)) {
            push_plan(sent_.points);
            return false;
        }
        const Cut cut{sent_.station, sent_.table, sent_.period, *cut_at};
        learning_.cuts.push_back(cut);
        Frame parts{make_plan(points_, sent_.points, learning_.cuts, gaps_, learning_.limits)};
        parts.whole = sent_;
        parts.code = code;
        parts.cut = cut;
        frames_.push_back(std::move(parts));
        return false;
    }

    // The request sent last was neither answered nor failed (the poller was interrupted or
    // cancelled): not counted, and a station that is down may be tried again at once.
    void abandoned() {
        Figures& f = learning_.figures[sent_.station];
        f.requests -= 1;
        if (f.unit.down) f.unit.retry_at = now_;
    }

    const Request& sent() const noexcept { return sent_; }

private:
    // What became of a request, and of the parts it was read in.
    enum class Outcome : std::uint8_t {
        Read,    // every point got its value
        Failed,  // some points got a failure of the link or the unit
        Hole,    // some points lie in a hole: refused on their own, or refused until a cut was kept
    };
    struct Frame {
        std::vector<Request> parts;
        std::size_t next = 0;
        Outcome outcome = Outcome::Read;
        // The parts of a request cut in two after a refusal: `whole`, refused with `code`.
        std::optional<Request> whole = std::nullopt;
        long code = 0;
        Cut cut{};
    };

    void push_plan(const std::vector<std::size_t>& subset) {
        frames_.push_back({make_plan(points_, subset, learning_.cuts, gaps_, learning_.limits)});
    }

    // The outcome of a frame whose parts are all read. A request refused with code 2 whose
    // parts then read every register was refused for its size: the cut is not needed, the
    // bound is learned instead.
    Outcome finish(const Frame& frame) {
        if (!frame.whole) return frame.outcome;
        const Request& r = *frame.whole;
        if (frame.code == 2 && frame.outcome == Outcome::Read && covers(frame.parts, r) &&
            learning_.limits.refused(r.station, r.table, r.count)) {
            const Cut& cut = frame.cut;
            const auto same = [&](const Cut& c) {
                return c.station == cut.station && c.table == cut.table && c.period == cut.period &&
                       c.address == cut.address;
            };
            std::vector<Cut>& cuts = learning_.cuts;
            if (const auto it = std::find_if(cuts.rbegin(), cuts.rend(), same); it != cuts.rend())
                cuts.erase(std::next(it).base());
            return Outcome::Read;
        }
        return Outcome::Hole;
    }

    const std::vector<Point>& points_;
    Learning& learning_;
    Gaps gaps_;
    double now_;
    std::vector<Frame> frames_;
    Request sent_;
    std::bitset<256> failed_;  // the stations that failed in this pass
};

}  // namespace brel::modbus::polling
