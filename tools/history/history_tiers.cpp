// The per-minute and per-hour tiers as rounds arrive, the pruning that keeps
// the file bounded, and the plot query that reads from the tiers.
#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>

#include "history_schema.h"
#include "history_sql.h"
#include "record.h"
#include "history_store.h"

namespace smdhost {

namespace {

struct Tier {
    const char* name;
    long long step;  // seconds per bucket; raw rounds count as 1
};
constexpr Tier kRaw{"raw", 1}, kMinute{"minute", 60}, kHour{"hour", 3600};
constexpr std::size_t kMostPoints = 10000;
constexpr long long kLastTime = 253402300799;  // 9999-12-31 23:59:59

long long floorTo(long long t, long long step) {
    const long long q = t / step;
    return (q * step > t ? q - 1 : q) * step;
}

// Rows of a tier (or raw rounds) in [from, to], oldest first; a point per row.
std::vector<PlotPoint> readRows(sqlite3* db, const Tier& tier, int device, long long from,
                                long long to) {
    std::string text;
    long long low, high;
    if (tier.step == 1) {
        text = "SELECT key, record FROM rounds WHERE key BETWEEN ?2 AND ?3 AND kind = 0 AND "
               "(key >> 4) & 4095 = ?1 ORDER BY key";
        low = sql::roundKey(from, 0, 0);
        high = sql::roundKey(to, sql::kMostDevices - 1, (1 << sql::kCopyBits) - 1);
    } else {
        text = "SELECT key, " + sql::tierValues() + " FROM tier_" + tier.name +
               " WHERE key BETWEEN ?2 AND ?3 AND key & 4095 = ?1 ORDER BY key";
        low = sql::tierKey(floorTo(from, tier.step), 0);  // the bucket holding `from`
        high = sql::tierKey(to, sql::kMostDevices - 1);
    }
    sql::Stmt st(db, text);
    st.integer(1, device);
    st.integer(2, low);
    st.integer(3, high);
    std::vector<PlotPoint> points;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        PlotPoint p;
        if (tier.step == 1) {
            Record r;
            const auto* img = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 1));
            if (!decodeRecord(img, static_cast<std::size_t>(sqlite3_column_bytes(st.s, 1)), r)) continue;
            p.t = sql::roundTime(sqlite3_column_int64(st.s, 0));
            p.rounds = 1;
            for (std::size_t i = 0; i < kReadings.size(); ++i)
                p.min[i] = p.mean[i] = p.max[i] = kReadings[i].of(r);
            for (std::size_t i = 0; i < r.alarms.size(); ++i)
                if (r.alarms[i] != 0) p.alarms |= 1u << i;
            points.push_back(p);
            continue;
        }
        p.t = sql::tierTime(sqlite3_column_int64(st.s, 0));
        p.rounds = sqlite3_column_int64(st.s, 1);
        for (int i = 0; i < 5; ++i) {
            p.min[i] = static_cast<float>(sqlite3_column_double(st.s, 2 + 3 * i));
            // The mean of a bucket, summed in double so a year of rounds keeps its digits.
            const double sum = sqlite3_column_double(st.s, 2 + 3 * i + 1);
            p.mean[i] = static_cast<float>(p.rounds > 0 ? sum / static_cast<double>(p.rounds) : sum);
            p.max[i] = static_cast<float>(sqlite3_column_double(st.s, 2 + 3 * i + 2));
        }
        p.alarms = static_cast<unsigned>(sqlite3_column_int64(st.s, 17));
        points.push_back(p);
    }
    return points;
}

// Consecutive points merged into buckets of `width` seconds, aligned to it.
std::vector<PlotPoint> merged(const std::vector<PlotPoint>& in, long long width) {
    std::vector<PlotPoint> out;
    double sums[5] = {};
    auto finish = [&]() {
        PlotPoint& p = out.back();
        for (int i = 0; i < 5; ++i)
            p.mean[i] = static_cast<float>(sums[i] / static_cast<double>(p.rounds));
    };
    for (const PlotPoint& p : in) {
        const long long start = floorTo(p.t, width);
        if (out.empty() || out.back().t != start) {
            if (!out.empty()) finish();
            out.push_back(p);
            out.back().t = start;
            for (int i = 0; i < 5; ++i) sums[i] = double(p.mean[i]) * double(p.rounds);
            continue;
        }
        PlotPoint& q = out.back();
        for (int i = 0; i < 5; ++i) {
            q.min[i] = std::min(q.min[i], p.min[i]);
            q.max[i] = std::max(q.max[i], p.max[i]);
            sums[i] += double(p.mean[i]) * double(p.rounds);
        }
        q.alarms |= p.alarms;
        q.rounds += p.rounds;
    }
    if (!out.empty()) finish();
    return out;
}

// The time of the oldest row of a tier for the device; -1 when it has none.
long long oldest(sqlite3* db, const Tier& tier, int device) {
    const std::string text =
        tier.step == 1 ? "SELECT key >> 16 FROM rounds WHERE (key >> 4) & 4095 = ?1 AND kind = 0 ORDER BY key LIMIT 1"
                       : std::string("SELECT key >> 12 FROM tier_") + tier.name +
                             " WHERE key & 4095 = ?1 ORDER BY key LIMIT 1";
    sql::Stmt st(db, text);
    st.integer(1, device);
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int64(st.s, 0) : -1;
}

}  // namespace

// Buckets take rounds one at a time, from a batch or from the stored rows.
void HistoryStore::Bucket::add(const Record& r) {
    for (std::size_t i = 0; i < kReadings.size(); ++i) {
        const float v = kReadings[i].of(r);
        min[i] = n == 0 ? v : std::min(min[i], v);
        max[i] = n == 0 ? v : std::max(max[i], v);
        sum[i] += v;
    }
    for (std::size_t i = 0; i < r.alarms.size(); ++i)
        if (r.alarms[i] != 0) alarms |= 1u << i;
    ++n;
}

// A batch's minute added to its minute and hour buckets.
void HistoryStore::addToTiers(const Bucket& b, int device, long long minute) {
    for (const auto& [which, step] : {std::pair<Kept, long long>{kUpsertMinute, kMinute.step},
                                      std::pair<Kept, long long>{kUpsertHour, kHour.step}}) {
        sql::Use st(kept(which));
        st.integer(1, sql::tierKey(floorTo(minute, step), device));
        st.integer(2, b.n);
        for (int i = 0; i < 5; ++i) {
            st.real(3 + 3 * i, b.min[i]);
            st.real(4 + 3 * i, b.sum[i]);
            st.real(5 + 3 * i, b.max[i]);
        }
        st.integer(18, b.alarms);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    }
}

// A device's buckets before its latest minute go to the tiers once the
// oldest of them is a few minutes older than it: a page or two rewritten
// every few minutes, not every minute. All of them at the end of a run.
void HistoryStore::flushTiers(bool all) {
    constexpr long long kHeld = 5 * kMinute.step;
    std::map<int, std::pair<long long, long long>> span;  // device: oldest, latest minute
    for (const auto& [key, b] : pending_) {
        auto [it, fresh] = span.emplace(key.first, std::make_pair(key.second, key.second));
        if (!fresh) {
            it->second.first = std::min(it->second.first, key.second);
            it->second.second = std::max(it->second.second, key.second);
        }
    }
    bool moved = false;
    for (auto it = pending_.begin(); it != pending_.end();) {
        const auto& [oldest, latest] = span[it->first.first];
        if (!all && (latest - oldest < kHeld || it->first.second >= latest)) {
            ++it;
            continue;
        }
        addToTiers(it->second, it->first.first, it->first.second);
        it = pending_.erase(it);
        moved = true;
    }
    if (moved) ++flushes_;
}

// At a start after a run that did not close: each device's rounds after its
// last minute bucket, which that run still held in memory, summed up again
// (and written with the next commit).
void HistoryStore::refoldTiers() {
    {
        sql::Stmt last(db_, "SELECT clean FROM runs ORDER BY id DESC LIMIT 1");
        if (sqlite3_step(last.s) == SQLITE_ROW && sqlite3_column_int(last.s, 0) != 0) return;
    }
    Buckets buckets;
    sql::Stmt devices(db_, "SELECT id FROM devices");
    while (sqlite3_step(devices.s) == SQLITE_ROW) {
        const int dev = sqlite3_column_int(devices.s, 0);
        // The last bucket may hold only the first rounds of its minute (a
        // clean stop wrote it, and the next run went on in that minute).
        long long from = 0, counted = 0;
        {
            sql::Stmt st(db_, "SELECT key >> 12, n FROM tier_minute WHERE key & 4095 = ?1 ORDER BY key DESC LIMIT 1");
            st.integer(1, dev);
            if (sqlite3_step(st.s) == SQLITE_ROW) {
                from = sqlite3_column_int64(st.s, 0);
                counted = sqlite3_column_int64(st.s, 1);
            }
        }
        sql::Stmt st(db_, "SELECT key, record FROM rounds WHERE key >= ?1 AND kind = 0 AND (key >> 4) & 4095 = ?2 "
                          "ORDER BY key");
        st.integer(1, sql::roundKey(from, 0, 0));
        st.integer(2, dev);
        while (sqlite3_step(st.s) == SQLITE_ROW) {
            const long long t = sql::roundTime(sqlite3_column_int64(st.s, 0));
            if (floorTo(t, kMinute.step) == from && counted > 0) {
                --counted;
                continue;
            }
            Record r;
            const auto* img = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 1));
            if (!decodeRecord(img, static_cast<std::size_t>(sqlite3_column_bytes(st.s, 1)), r)) continue;
            buckets[{dev, floorTo(t, kMinute.step)}].add(r);
        }
    }
    // Held as that run held them: a minute this run goes on with is written once, whole.
    pending_ = std::move(buckets);
}

// Buckets still in memory added to a tier's points, as stored ones would be.
void HistoryStore::mergePending(int device, long long step, long long from, long long to,
                                const Buckets& pending, std::vector<PlotPoint>& points) {
    for (const auto& [key, b] : pending) {
        const long long t = floorTo(key.second, step);
        if (key.first != device || t < floorTo(from, step) || t > to) continue;
        auto at = std::lower_bound(points.begin(), points.end(), t,
                                   [](const PlotPoint& p, long long v) { return p.t < v; });
        if (at == points.end() || at->t != t) {
            PlotPoint p;
            p.t = t;
            at = points.insert(at, p);
        }
        PlotPoint& p = *at;
        for (std::size_t i = 0; i < kReadingCount; ++i) {
            const double sum = double(p.mean[i]) * double(p.rounds) + b.sum[i];
            p.min[i] = p.rounds == 0 ? b.min[i] : std::min(p.min[i], b.min[i]);
            p.max[i] = p.rounds == 0 ? b.max[i] : std::max(p.max[i], b.max[i]);
            p.mean[i] = static_cast<float>(sum / double(p.rounds + b.n));
        }
        p.alarms |= b.alarms;
        p.rounds += b.n;
    }
}

// `now` is this round's time, not the latest seen: one round from a clock far
// ahead cannot take more than a batch of rows with it.
void HistoryStore::prune(long long now) {
    for (const auto& [which, keep] : {std::pair<Kept, long long>{kPruneRaw, keep_.raw},
                                      std::pair<Kept, long long>{kPruneMinute, keep_.minute},
                                      std::pair<Kept, long long>{kPruneHour, keep_.hour}}) {
        if (keep <= 0) continue;
        sql::Use st(kept(which));
        st.integer(1, which == kPruneRaw ? sql::roundKey(now - keep, 0, 0) : sql::tierKey(now - keep, 0));
        st.integer(2, which == kPruneRaw ? 1024 : 64);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    }
}

sqlite3* HistoryStore::reader() {
    if (readDb_ != nullptr) return readDb_;
    if (sqlite3_open_v2(path_.c_str(), &readDb_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = readDb_ ? sqlite3_errmsg(readDb_) : "out of memory";
        sqlite3_close(readDb_);
        readDb_ = nullptr;
        throw StoreError("cannot open history database '" + path_ + "': " + why);
    }
    sqlite3_busy_timeout(readDb_, 5000);
    return readDb_;
}

PlotSeries HistoryStore::plot(const std::string& device, long long from, long long to,
                              std::size_t maxPoints) {
    PlotSeries series;
    series.tier = kRaw.name;
    // Ranges and sizes come from web clients: bounded, so no query reads a year of rounds.
    maxPoints = std::min<std::size_t>(std::max<std::size_t>(maxPoints, 1), kMostPoints);
    from = std::max(from, 0LL);
    to = std::min(to, kLastTime);
    std::lock_guard<std::mutex> lock(readMutex_);
    if (to < from || readClosed_) return series;
    sqlite3* db = reader();
    const std::vector<int> ids = deviceIds(db, device);
    if (ids.empty()) return series;
    const int dev = ids[0];
    // Enough points: a quarter of the most asked for, so a day comes in minutes
    // and a month in hours.
    const long long span = to - from + 1;
    const long long enough = std::max<long long>(1, static_cast<long long>(maxPoints / 4));
    const Tier* tier = span / kHour.step >= enough ? &kHour : span / kMinute.step >= enough ? &kMinute : &kRaw;
    // A finer tier already pruned at the range's start gives way to a coarser one that is not.
    for (const Tier* coarser : {&kMinute, &kHour}) {
        if (coarser->step <= tier->step) continue;
        const long long fine = oldest(db, *tier, dev), coarse = oldest(db, *coarser, dev);
        if (fine > from && coarse >= 0 && coarse + coarser->step <= fine) tier = coarser;
        else break;
    }
    series.tier = tier->name;
    series.step = tier == &kRaw ? 0 : tier->step;
    // Read beside the buckets still in memory; a commit that moved some of
    // them to the file in between makes it read again.
    for (int attempt = 0;; ++attempt) {
        Buckets pending;
        long long flushes;
        {
            std::lock_guard<std::mutex> writing(mutex_);
            pending = pending_;
            flushes = flushes_;
        }
        series.points = readRows(db, *tier, dev, from, to);
        if (tier == &kRaw) break;
        {
            std::lock_guard<std::mutex> writing(mutex_);
            if (flushes != flushes_ && attempt < 4) continue;
        }
        mergePending(dev, tier->step, from, to, pending, series.points);
        break;
    }
    if (series.points.size() > maxPoints) {
        const long long perPoint = (span + static_cast<long long>(maxPoints) - 1) /
                                   static_cast<long long>(maxPoints);
        series.step = (perPoint + tier->step - 1) / tier->step * tier->step;
        series.points = merged(series.points, series.step);
    }
    return series;
}

std::vector<TransitionRow> HistoryStore::transitionsBetween(const std::string& device,
                                                            long long from, long long to) {
    std::vector<TransitionRow> rows;
    eachTransitionBetween(device, from, to, 0, 0,
                          [&rows](const TransitionRow& r) { rows.push_back(r); });
    return rows;
}

bool HistoryStore::eachTransitionBetween(const std::string& device, long long from, long long to,
                                         long long after, std::size_t limit,
                                         const std::function<void(const TransitionRow&)>& each) {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (readClosed_) return false;
    // In (t, id) order, so a page ends at a (t, id) the next one starts after.
    sql::Stmt st(reader(),
                 "SELECT id, device, data_id, at, signal_id, name, value_text, state, t "
                 "FROM transitions WHERE device = ?1 AND t BETWEEN ?2 AND ?3 "
                 "AND (t > ?2 OR id > ?4) ORDER BY t, id LIMIT ?5");
    st.text(1, device);
    st.integer(2, from);
    st.integer(3, to);
    st.integer(4, after);
    st.integer(5, limit == 0 ? -1 : static_cast<long long>(limit) + 1);
    std::size_t n = 0;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        if (limit != 0 && n == limit) return true;
        TransitionRow r = sql::transitionRow(st);
        r.t = sqlite3_column_int64(st.s, 8);
        each(r);
        ++n;
    }
    return false;
}

}  // namespace smdhost
