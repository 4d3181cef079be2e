// What keeps the file fit for a board's flash: the size budget, the WAL
// folded back after each commit, and the runs that mark an unclean end.
#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "history_schema.h"
#include "history_sql.h"
#include "history_store.h"

namespace smdhost {

namespace {

constexpr long long kHour = 3600, kDay = 86400;
// Rows taken per commit at most: a budget lowered far below the file is
// reached over a few commits, each of them short.
constexpr long long kMostFreedRows = 100000;
// What the budget leaves to the WAL: the pages at which it is folded back
// (sqlite3_wal_autocheckpoint), and a commit of a full batch.
constexpr long long kWalPages = 256 + 32;

long long pageSizeOf(sqlite3* db) {
    sql::Stmt st(db, "PRAGMA page_size");
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int64(st.s, 0) : 0;
}

// The bytes the file itself may take.
long long fileRoom(long long budget, long long pageSize) {
    return budget - kWalPages * (pageSize + 24);
}

}  // namespace

long long HistoryStore::single(Kept which) {
    sqlite3_stmt* st = kept(which);
    const int rc = sqlite3_step(st);
    const long long v = rc == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_reset(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    return v;
}

// Inside the commit's transaction. Pages freed here are taken again by the
// next rows, so the file stops growing once it holds the budget's share of
// them (less the WAL's); 90% of it leaves room for a commit's growth.
void HistoryStore::holdBudget() {
    if (budget_ <= 0) return;
    const long long pageSize = pageSizeOf(db_), room = fileRoom(budget_, pageSize);
    if (pageSize <= 0 || room <= 0) return;
    long long freedRows = 0;
    while (freedRows < kMostFreedRows) {
        const long long used = (single(kPageCount) - single(kFreePages)) * pageSize;
        if (used <= room / 10 * 9) return;
        const long long newestKey = single(kNewestKey);
        if (newestKey < 0) return;
        const long long newest = sql::roundTime(newestKey);
        // Down to 85%, a round being about 60 bytes and a bucket about 160.
        const long long excess = used - room / 20 * 17;
        long long taken = 0;
        const struct {
            Kept which;
            long long below, rows;
        } order[] = {
            {kPruneRaw, sql::roundKey(newest - kHour, 0, 0), excess / 60 + 16},
            {kPruneMinute, sql::tierKey(newest - kDay, 0), excess / 160 + 4},
            {kPruneHour, sql::tierKey(newest - kDay, 0), excess / 320 + 4},
            {kPruneTransitions, newest - kDay, excess / 320 + 4},
        };
        for (const auto& o : order) {
            sql::Use st(kept(o.which));
            st.integer(1, o.below);
            st.integer(2, o.rows);
            if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
            taken += sqlite3_changes(db_);
            // Hour buckets and transitions go together, the oldest of each.
            if (taken > 0 && o.which != kPruneHour) break;
        }
        if (taken == 0) return;  // only what is kept whatever the budget is left
        freedRows += taken;
    }
}

// After each commit: a file over its budget (lowered since it grew) gives
// free pages back.
void HistoryStore::shrinkToBudget() {
    if (budget_ > 0) {
        const long long pages = single(kPageCount), free = single(kFreePages);
        const long long pageSize = pageSizeOf(db_);
        if (free > 0 && pages * pageSize > fileRoom(budget_, pageSize))
            sqlite3_exec(db_, ("PRAGMA incremental_vacuum(" + std::to_string(free) + ")").c_str(),
                         nullptr, nullptr, nullptr);
    }
}

UncleanEnd HistoryStore::beginRun(const std::string& at) {
    std::lock_guard<std::mutex> lock(mutex_);
    UncleanEnd end;
    if (db_ == nullptr) return end;
    step(kBegin);
    try {
        std::string started;
        {
            sql::Stmt st(db_, "SELECT clean, waiting, started FROM runs ORDER BY id DESC LIMIT 1");
            if (sqlite3_step(st.s) == SQLITE_ROW && sqlite3_column_int(st.s, 0) == 0) {
                end.found = true;
                end.lost = sqlite3_column_int64(st.s, 1);
                started = st.colText(2);
            }
        }
        if (end.found) {
            const long long key = single(kNewestKey);
            end.lastRound = key < 0 ? -1 : sql::roundTime(key);
            end.lastText = key < 0 ? started : localText(end.lastRound);
            HistoryRow row;
            row.kind = HistoryRow::transition;
            row.at = at;
            row.signalId = kUncleanSignalId;
            row.name = kUncleanSignalName;
            row.valueText = "rounds may be missing after " + end.lastText;
            if (end.lost > 0)
                row.valueText += "; " + std::to_string(end.lost) + " rows kept in memory were lost";
            row.raised = true;
            insertTransition(row);
        }
        sql::Stmt st(db_, "INSERT INTO runs(started) VALUES(?1)");
        st.text(1, at);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
        runId_ = sqlite3_last_insert_rowid(db_);
        sql::Stmt old(db_, "DELETE FROM runs WHERE id < ?1");
        old.integer(1, runId_ - 16);
        if (sqlite3_step(old.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
        step(kCommit);
    } catch (...) {
        sqlite3_step(kept(kRollback));
        sqlite3_reset(kept_[kRollback]);
        runId_ = 0;
        throw;
    }
    waiting_ = waitingStored_ = 0;
    return end;
}

// With the last buckets: a run marked clean left nothing to make again.
void HistoryStore::endRun() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (db_ == nullptr || runId_ == 0) return;
    const Buckets before = pending_;
    step(kBegin);
    try {
        flushTiers(true);
        sql::Stmt st(db_, "UPDATE runs SET clean = 1, waiting = 0 WHERE id = ?1");
        st.integer(1, runId_);
        if (sqlite3_step(st.s) != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
        step(kCommit);
    } catch (...) {
        sqlite3_step(kept(kRollback));
        sqlite3_reset(kept_[kRollback]);
        pending_ = before;
        throw;
    }
    runId_ = 0;
}

}  // namespace smdhost
