// The history's queries of rounds and transitions, on the writing connection.
#include <sqlite3.h>

#include <map>
#include <string>
#include <vector>

#include "history_schema.h"
#include "history_sql.h"
#include "history_store.h"

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
