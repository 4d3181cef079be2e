#include "history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

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
    try {
        Buckets buckets;
        std::map<std::string, long long> due;  // device: the round whose time prunes
        for (const auto& row : rows) {
            if (row.kind == HistoryRow::round) insertRound(row, buckets, due);
            else insertTransition(row);
        }
        for (const auto& [key, b] : buckets) addToTiers(b, key.first, key.second);
        for (const auto& [device, t] : due) prune(device, t);
        step(kCommit);
    } catch (...) {
        sqlite3_step(kept(kRollback));
        sqlite3_reset(kept_[kRollback]);
        throw;
    }
}

void HistoryStore::insertRound(const HistoryRow& row, Buckets& buckets,
                               std::map<std::string, long long>& due) {
    Record r;
    decodeRecord(row.image.data(), row.image.size(), r);
    // The record's own time: when the plug-in measured, also for a round stored late.
    const long long t = localTime_.unix(r.year, r.month, r.day, r.hour, r.minute, r.second);
    {
        sql::Use st(kept(kInsertRound));
        st.text(1, row.device);
        st.integer(2, row.dataId);
        st.text(3, row.at);
        st.text(4, row.source);
        sqlite3_bind_blob(st.s, 5, row.image.data(), static_cast<int>(row.image.size()),
                          SQLITE_STATIC);
        const std::string timeText = r.timeText();
        st.text(6, timeText);
        for (std::size_t i = 0; i < kReadings.size(); ++i)
            st.real(7 + static_cast<int>(i), kReadings[i].of(r));
        for (int i = 0; i < 6; ++i) st.integer(12 + i, r.alarms[static_cast<std::size_t>(i)]);
        if (t >= 0) st.integer(18, t);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    }
    // A restored record is a copy of one already counted.
    if (t < 0 || row.source == "restore") return;
    Bucket& b = buckets[{row.device, t / 60 * 60}];
    for (std::size_t i = 0; i < kReadings.size(); ++i) {
        const float v = kReadings[i].of(r);
        b.min[i] = b.n == 0 ? v : std::min(b.min[i], v);
        b.max[i] = b.n == 0 ? v : std::max(b.max[i], v);
        b.sum[i] += v;
    }
    for (std::size_t i = 0; i < r.alarms.size(); ++i)
        if (r.alarms[i] != 0) b.alarms |= 1u << i;
    ++b.n;
    // A batch every few rounds: fewer pages written than a row each round.
    int& since = sincePrune_[row.device];
    if (++since >= 16) {
        since = 0;
        due[row.device] = t;
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
    Stmt st(db_, "SELECT record FROM rounds WHERE device = ?1 ORDER BY id DESC LIMIT 1");
    st.text(1, device);
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
    return selectRows<RoundRow>(
        db_, "id, device, data_id, stored_at, source, record", "rounds", device, limit,
        [](Stmt& st) {
            RoundRow r;
            r.id = sqlite3_column_int64(st.s, 0);
            r.device = st.colText(1);
            r.dataId = static_cast<unsigned int>(sqlite3_column_int64(st.s, 2));
            r.storedAt = st.colText(3);
            r.source = st.colText(4);
            const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st.s, 5));
            r.image.assign(p, p + sqlite3_column_bytes(st.s, 5));
            return r;
        });
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
    return db_ == nullptr ? 0 : countRows(db_, "rounds", device);
}

long long HistoryStore::countTransitions(const std::string& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    return db_ == nullptr ? 0 : countRows(db_, "transitions", device);
}

}  // namespace smdhost
