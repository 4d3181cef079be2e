// Opening, closing and writing the history.
#include "history_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

#include "history_schema.h"
#include "history_sql.h"

namespace smdhost {

using sql::Stmt;

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
            // A small WAL, folded back now and then: a page rewritten by
            // many commits reaches the file once. Kept with its index at a
            // close, so a start does not write them anew.
            sqlite3_wal_autocheckpoint(db_, 256);
            int persist = 1;
            sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
            try {
                refoldTiers();
            } catch (const StoreError&) {
                // A damaged or busy file: checkSound says why; the next start folds them.
            }
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
        if (db_ != nullptr && !pending_.empty()) {
            try {
                step(kBegin);
                try {
                    flushTiers(true);
                    step(kCommit);
                } catch (...) {
                    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                    throw;
                }
            } catch (const std::exception&) {
                // Left to the next start, which makes them from the rounds.
            }
            pending_.clear();
        }
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
    const Buckets before = pending_;  // a bucket per device
    try {
        long long due = -1;  // the round whose time prunes
        for (const auto& row : rows) {
            if (row.kind == HistoryRow::round) {
                insertRound(row, pending_, due);
                ++rounds;
            } else {
                insertTransition(row);
            }
        }
        flushTiers(false);
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
        pending_ = before;
        // Numbers given in the rolled-back transaction are not in the file.
        devices_.clear();
        lastKey_.clear();
        throw;
    }
    waitingStored_ = waiting_;
    storedRounds_ += rounds;
    storedTransitions_ += static_cast<long long>(rows.size()) - rounds;
    shrinkToBudget();
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
    for (int spilled = 0;; ++copy) {
        // More rounds of one device in one second than a key holds come only
        // from a clock gone wrong: they go on into the next seconds.
        if (copy >= (1 << sql::kCopyBits)) {
            if (++spilled > 100000) throw StoreError("no free key for a round of " + row.device);
            ++t;
            copy = 0;
        }
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
    buckets[{dev, t / 60 * 60}].add(r);
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

}  // namespace smdhost
