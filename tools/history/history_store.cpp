#include "history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

#include "history_schema.h"
#include "history_sql.h"

namespace smdhost {

namespace {

using sql::Stmt;

// Rows with an optional device filter, latest `limit`, returned oldest first.
std::string selectSql(const char* cols, const char* table, bool byDevice, long long limit) {
    std::string sql = std::string("SELECT ") + cols + " FROM " + table;
    if (byDevice) sql += " WHERE device = ?1";
    sql += " ORDER BY id DESC";
    if (limit > 0) sql += " LIMIT " + std::to_string(limit);
    return "SELECT * FROM (" + sql + ") ORDER BY id ASC";
}

// The rows selectSql picks, each made by `read` from the statement.
template <typename Row, typename Read>
std::vector<Row> selectRows(sqlite3* db, const char* cols, const char* table,
                            const std::string& device, long long limit, Read read) {
    std::vector<Row> rows;
    Stmt st(db, selectSql(cols, table, !device.empty(), limit).c_str());
    if (!device.empty()) st.text(1, device);
    while (sqlite3_step(st.s) == SQLITE_ROW) rows.push_back(read(st));
    return rows;
}

// Rows of `table`, of one device or (device empty) of all.
long long countRows(sqlite3* db, const char* table, const std::string& device) {
    std::string sql = std::string("SELECT count(*) FROM ") + table;
    if (!device.empty()) sql += " WHERE device = ?1";
    Stmt st(db, sql.c_str());
    if (!device.empty()) st.text(1, device);
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int64(st.s, 0) : 0;
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path, bool readOnly) : path_(path) {
    const int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open history database '" + path + "': " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    try {
        if (!readOnly) {
            refuseForeign();  // before anything changes the file
            exec("PRAGMA journal_mode=WAL");
            exec("PRAGMA synchronous=NORMAL");
            upgrade();
        } else {
            Stmt check(db_, "SELECT count(*) FROM rounds");
            Stmt version(db_, "PRAGMA user_version");
            const int v = sqlite3_step(version.s) == SQLITE_ROW ? sqlite3_column_int(version.s, 0) : 0;
            if (v != kHistorySchema)
                throw StoreError("written by " + std::string(v < kHistorySchema ? "an older" : "a newer") +
                                 " smd-host (schema " + std::to_string(v) + "); " +
                                 (v < kHistorySchema ? "a run of this one upgrades it" : "read it with that one"));
        }
    } catch (const StoreError& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("history database '" + path + "': " + e.what());
    }
}

HistoryStore::~HistoryStore() { close(); }

void HistoryStore::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& s : kept_) {
            sqlite3_finalize(s);
            s = nullptr;
        }
        if (db_ != nullptr) sqlite3_close(db_);
        db_ = nullptr;
    }
    std::lock_guard<std::mutex> lock(readMutex_);
    if (readDb_ != nullptr) sqlite3_close(readDb_);
    readDb_ = nullptr;
    readClosed_ = true;
}

void HistoryStore::exec(const char* text) { sql::exec(db_, text); }

void HistoryStore::setRetention(const Retention& keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    keep_ = keep;
}

void HistoryStore::setBudget(long long bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    budget_ = bytes;
}

void HistoryStore::setWaiting(std::size_t rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = rows;
}

long long HistoryStore::storedRounds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return storedRounds_;
}

long long HistoryStore::storedTransitions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return storedTransitions_;
}

void HistoryStore::checkSound() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return;
    const std::string what = "history database '" + path_ + "' ";
    // Opened for writing, SQLite falls back to reading a file it may not write.
    if (sqlite3_db_readonly(db_, "main") == 1)
        throw StoreError(what + "cannot be written: it opened read-only");
    try {
        exec("BEGIN IMMEDIATE");
        exec("COMMIT");
    } catch (const StoreError& e) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw StoreError(what + "cannot be written: " + e.what());
    }
    std::string problem;
    try {
        Stmt st(db_, "PRAGMA quick_check(1)");
        const int rc = sqlite3_step(st.s);
        if (rc == SQLITE_ROW && st.colText(0) != "ok") problem = st.colText(0);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) problem = sqlite3_errmsg(db_);
    } catch (const StoreError& e) {
        problem = e.what();
    }
    if (!problem.empty()) throw StoreError(what + "is damaged: " + problem);
}

void HistoryStore::step(Kept which) {
    sqlite3_stmt* st = kept(which);
    if (sqlite3_step(st) == SQLITE_DONE) {
        sqlite3_reset(st);
        return;
    }
    const std::string why = sqlite3_errmsg(db_);
    sqlite3_reset(st);
    throw StoreError(why);
}

void HistoryStore::add(const std::vector<HistoryRow>& rows) {
    for (const auto& row : rows)
        if (row.kind == HistoryRow::round && row.image.size() != kRecordSize)
            throw StoreError("record of " + std::to_string(row.image.size()) + " bytes, expected 37");
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr || rows.empty()) return;
    step(kBegin);
    long long rounds = 0;
    try {
        Buckets buckets;
        long long due = -1;  // the round whose time prunes
        for (const auto& row : rows) {
            if (row.kind == HistoryRow::round) {
                insertRound(row, buckets, due);
                ++rounds;
            } else {
                insertTransition(row);
            }
        }
        for (const auto& [key, b] : buckets) addToTiers(b, key.first, key.second);
        if (due >= 0) prune(due);
        if (runId_ != 0 && waiting_ != waitingStored_) {
            Stmt st(db_, "UPDATE runs SET waiting = ?1 WHERE id = ?2");
            st.integer(1, static_cast<long long>(waiting_));
            st.integer(2, runId_);
            if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
        }
        holdBudget();
        step(kCommit);
    } catch (...) {
        sqlite3_step(kept(kRollback));
        sqlite3_reset(kept_[kRollback]);
        // Numbers given in the rolled-back transaction are not in the file.
        devices_.clear();
        lastKey_.clear();
        throw;
    }
    waitingStored_ = waiting_;
    storedRounds_ += rounds;
    storedTransitions_ += static_cast<long long>(rows.size()) - rounds;
    checkpoint();
}

int HistoryStore::deviceId(const std::string& name) {
    const auto it = devices_.find(name);
    if (it != devices_.end()) return it->second;
    int id = -1;
    {
        Stmt st(db_, "SELECT id FROM devices WHERE name = ?1");
        st.text(1, name);
        if (sqlite3_step(st.s) == SQLITE_ROW) id = sqlite3_column_int(st.s, 0);
    }
    if (id < 0) {
        Stmt st(db_, "INSERT INTO devices(name) VALUES(?1)");
        st.text(1, name);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
        id = static_cast<int>(sqlite3_last_insert_rowid(db_));
    }
    if (id >= sql::kMostDevices)
        throw StoreError("more than " + std::to_string(sql::kMostDevices - 1) + " device names");
    devices_[name] = id;
    return id;
}

// The device's number; -1 when it never stored a round.
std::vector<int> HistoryStore::deviceIds(sqlite3* db, const std::string& name) {
    Stmt st(db, "SELECT id FROM devices WHERE name = ?1");
    st.text(1, name);
    std::vector<int> ids;
    if (sqlite3_step(st.s) == SQLITE_ROW) ids.push_back(sqlite3_column_int(st.s, 0));
    return ids;
}

void HistoryStore::insertRound(const HistoryRow& row, Buckets& buckets, long long& due) {
    Record r;
    decodeRecord(row.image.data(), row.image.size(), r);
    // The record's own time: when the plug-in measured, also for a round stored late.
    long long t = localTime_.unix(r.year, r.month, r.day, r.hour, r.minute, r.second);
    const long long storedT = localTime_.unix(row.at);
    const bool restored = row.source == "restore";
    const int kind = restored ? 1 : t < 0 ? 2 : 0;
    if (t < 0) t = std::max(storedT, 0LL);
    const int dev = deviceId(row.device);
    auto last = lastKey_.find(dev);
    int copy = last != lastKey_.end() && last->second.first == t ? last->second.second + 1 : 0;
    sqlite3_stmt* st = kept(kInsertRound);
    for (;; ++copy) {
        // More rounds of one device in one second than a key holds come only
        // from a clock gone wrong: the rest of that second is not kept.
        if (copy >= (1 << sql::kCopyBits)) return;
        sql::Use use(st);
        use.integer(1, sql::roundKey(t, dev, copy));
        use.integer(2, kind);
        use.integer(3, row.dataId);
        if (storedT >= 0) use.integer(4, (storedT - t) * 1000 + millisOf(row.at));
        sqlite3_bind_blob(st, 5, row.image.data(), static_cast<int>(row.image.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_CONSTRAINT) throw StoreError(sqlite3_errmsg(db_));
    }
    lastKey_[dev] = {t, copy};
    // A restored record is a copy of one already counted.
    if (kind != 0) return;
    Bucket& b = buckets[{dev, t / 60 * 60}];
    for (std::size_t i = 0; i < kReadings.size(); ++i) {
        const float v = kReadings[i].of(r);
        b.min[i] = b.n == 0 ? v : std::min(b.min[i], v);
        b.max[i] = b.n == 0 ? v : std::max(b.max[i], v);
        b.sum[i] += v;
    }
    for (std::size_t i = 0; i < r.alarms.size(); ++i)
        if (r.alarms[i] != 0) b.alarms |= 1u << i;
    ++b.n;
    // A batch now and then: the oldest pages freed at once, not a row each commit.
    if (++sincePrune_ >= 256) {
        sincePrune_ = 0;
        due = t;
    }
}

void HistoryStore::insertTransition(const HistoryRow& row) {
    sql::Use st(kept(kInsertTransition));
    st.text(1, row.device);
    st.integer(2, row.dataId);
    st.text(3, row.at);
    st.text(4, row.signalId);
    st.text(5, row.name);
    st.text(6, row.valueText);
    sqlite3_bind_text(st.s, 7, row.raised ? "raised" : "cleared", -1, SQLITE_STATIC);
    const long long t = localTime_.unix(row.at);
    if (t >= 0) st.integer(8, t);
    if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
}

void HistoryStore::addRound(const std::string& device, unsigned int dataId,
                            const std::string& source, const unsigned char* image,
                            std::size_t length, const std::string& storedAt) {
    HistoryRow row;
    row.device = device;
    row.dataId = dataId;
    row.source = source;
    row.image.assign(image, image + length);
    row.at = storedAt;
    add({row});
}

void HistoryStore::addTransition(const std::string& device, unsigned int dataId,
                                 const std::string& at, const std::string& signalId,
                                 const std::string& name, const std::string& valueText,
                                 bool raised) {
    HistoryRow row;
    row.kind = HistoryRow::transition;
    row.device = device;
    row.dataId = dataId;
    row.at = at;
    row.signalId = signalId;
    row.name = name;
    row.valueText = valueText;
    row.raised = raised;
    add({row});
}

bool HistoryStore::lastRecord(const std::string& device, std::vector<unsigned char>& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return false;
    const std::vector<int> ids = deviceIds(db_, device);
    if (ids.empty()) return false;
    Stmt st(db_, "SELECT record FROM rounds WHERE (key >> 4) & 4095 = ?1 ORDER BY key DESC LIMIT 1");
    st.integer(1, ids[0]);
    if (sqlite3_step(st.s) != SQLITE_ROW) return false;
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 0));
    const int n = sqlite3_column_bytes(st.s, 0);
    image.assign(p, p + n);
    return true;
}

std::map<std::string, bool> HistoryStore::alarmStates(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, bool> states;
    if (db_ == nullptr) return states;
    Stmt st(db_, "SELECT signal_id, state FROM transitions WHERE device = ?1 ORDER BY id ASC");
    st.text(1, device);
    while (sqlite3_step(st.s) == SQLITE_ROW) states[st.colText(0)] = st.colText(1) == "raised";
    return states;
}

std::vector<RaisedAlarm> HistoryStore::raisedAlarms(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RaisedAlarm> raised;
    if (db_ == nullptr) return raised;
    std::map<std::string, std::pair<bool, RaisedAlarm>> last;
    Stmt st(db_, "SELECT signal_id, name, state, t FROM transitions WHERE device = ?1 ORDER BY id ASC");
    st.text(1, device);
    while (sqlite3_step(st.s) == SQLITE_ROW)
        last[st.colText(0)] = {st.colText(2) == "raised",
                               RaisedAlarm{st.colText(0), st.colText(1), sqlite3_column_int64(st.s, 3)}};
    for (auto& [id, a] : last)
        if (a.first) raised.push_back(a.second);
    return raised;
}

std::vector<RoundRow> HistoryStore::rounds(const std::string& device, long long limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return {};
    std::string text = "SELECT key, kind, data_id, stored, record, (SELECT name FROM devices "
                       "WHERE id = (key >> 4) & 4095) FROM rounds";
    std::vector<int> ids;
    if (!device.empty()) {
        ids = deviceIds(db_, device);
        if (ids.empty()) return {};
        text += " WHERE (key >> 4) & 4095 = ?1";
    }
    text += " ORDER BY key DESC";
    if (limit > 0) text += " LIMIT " + std::to_string(limit);
    Stmt st(db_, text);
    if (!ids.empty()) st.integer(1, ids[0]);
    std::vector<RoundRow> rows;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        RoundRow r;
        r.id = sqlite3_column_int64(st.s, 0);
        r.source = sqlite3_column_int(st.s, 1) == 1 ? "restore" : "round";
        r.dataId = static_cast<unsigned int>(sqlite3_column_int64(st.s, 2));
        if (sqlite3_column_type(st.s, 3) != SQLITE_NULL) {
            const long long ms = sql::roundTime(r.id) * 1000 + sqlite3_column_int64(st.s, 3);
            r.storedAt = localText(ms / 1000 - (ms % 1000 < 0), static_cast<int>((ms % 1000 + 1000) % 1000));
        }
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 4));
        r.image.assign(p, p + sqlite3_column_bytes(st.s, 4));
        r.device = st.colText(5);
        rows.push_back(std::move(r));
    }
    return std::vector<RoundRow>(rows.rbegin(), rows.rend());
}

std::vector<TransitionRow> HistoryStore::transitions(const std::string& device, long long limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return {};
    return selectRows<TransitionRow>(
        db_, "id, device, data_id, at, signal_id, name, value_text, state", "transitions",
        device, limit, sql::transitionRow);
}

long long HistoryStore::countRounds(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr) return 0;
    if (device.empty()) return countRows(db_, "rounds", device);
    const std::vector<int> ids = deviceIds(db_, device);
    if (ids.empty()) return 0;
    Stmt st(db_, "SELECT count(*) FROM rounds WHERE (key >> 4) & 4095 = ?1");
    st.integer(1, ids[0]);
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int64(st.s, 0) : 0;
}

long long HistoryStore::countTransitions(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return db_ == nullptr ? 0 : countRows(db_, "transitions", device);
}

}  // namespace smdhost
