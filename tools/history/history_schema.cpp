// The history's tables as this build writes them, and the statements every
// commit uses.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "history_schema.h"
#include "history_sql.h"
#include "history_store.h"

namespace smdhost {

namespace sql {

// Rounds: the record image under a key that sorts by time first, so rows of
// every device are appended at the table's end and pruned from its start.
// key = record time (unix s) << 16 | device << 4 | copy (a second's rounds of
// one device, and restored copies); kind: 0 round, 1 restored copy, 2 round
// whose record time is no time (key from when it was stored; no tiers).
// stored: when stored, in ms after the key's second. Tiers: key = bucket
// start << 12 | device.
std::string currentSchema() {
    return "CREATE TABLE devices(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);\n" +
           roundsTable("rounds") + tierTable("tier_minute") + tierTable("tier_hour") +
           "CREATE TABLE transitions(\n"
           "  id INTEGER PRIMARY KEY AUTOINCREMENT,\n"
           "  device TEXT NOT NULL,\n"
           "  data_id INTEGER NOT NULL,\n"
           "  at TEXT NOT NULL,\n"
           "  signal_id TEXT NOT NULL,\n"
           "  name TEXT NOT NULL,\n"
           "  value_text TEXT,\n"
           "  state TEXT NOT NULL CHECK(state IN ('raised', 'cleared')),\n"
           "  t INTEGER);\n"
           "CREATE INDEX transitions_by_device ON transitions(device, id);\n"
           "CREATE INDEX transitions_by_device_t ON transitions(device, t);\n" +
           runsTable();
}

std::string roundsTable(const char* name) {
    return std::string("CREATE TABLE ") + name +
           "(key INTEGER PRIMARY KEY, kind INTEGER NOT NULL, data_id INTEGER NOT NULL, "
           "stored INTEGER, record BLOB NOT NULL CHECK(length(record) = 37));\n";
}

std::string tierTable(const char* name) {
    std::string text = std::string("CREATE TABLE ") + name + "(key INTEGER PRIMARY KEY, n INTEGER NOT NULL";
    for (const Reading& k : kReadings)
        text += std::string(", ") + k.column + "_min REAL, " + k.column + "_sum REAL, " + k.column + "_max REAL";
    return text + ", alarms INTEGER NOT NULL);\n";
}

std::string tierValues() {
    std::string cols = "n";
    for (const Reading& k : kReadings)
        cols += std::string(", ") + k.column + "_min, " + k.column + "_sum, " + k.column + "_max";
    return cols + ", alarms";
}

// Runs of smd-host: a row at start, marked clean at a clean stop; waiting:
// rows kept in memory at its last commit.
std::string runsTable() {
    return "CREATE TABLE runs(id INTEGER PRIMARY KEY, started TEXT NOT NULL, "
           "clean INTEGER NOT NULL DEFAULT 0, waiting INTEGER NOT NULL DEFAULT 0);\n";
}

}  // namespace sql

namespace {

// A summed-up minute added to its bucket: ?1 key, ?2 rounds, ?3..?17 min,
// sum, max of each reading, ?18 alarm mask.
std::string upsert(const char* table) {
    std::string text = std::string("INSERT INTO ") + table + "(key, " + sql::tierValues() + ") VALUES(?1";
    for (int i = 2; i <= 18; ++i) text += ", ?" + std::to_string(i);
    text += ") ON CONFLICT(key) DO UPDATE SET n = n + excluded.n";
    for (const Reading& k : kReadings) {
        const std::string c = k.column;
        text += ", " + c + "_min = min(" + c + "_min, excluded." + c + "_min)";
        text += ", " + c + "_sum = " + c + "_sum + excluded." + c + "_sum";
        text += ", " + c + "_max = max(" + c + "_max, excluded." + c + "_max)";
    }
    return text + ", alarms = alarms | excluded.alarms";
}

// Up to ?2 of the oldest rows whose key is below ?1.
std::string pruneOldest(const std::string& table, const char* key) {
    return "DELETE FROM " + table + " WHERE " + key + " IN (SELECT " + key + " FROM " + table +
           " WHERE " + key + " < ?1 ORDER BY " + key + " LIMIT ?2)";
}

}  // namespace

void sql::exec(sqlite3* db, const std::string& text) {
    char* err = nullptr;
    if (sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        const std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        throw StoreError(why);
    }
}

// Another program's database is left as it was: a start that added our
// tables to it would be a surprise to both.
void HistoryStore::refuseForeign() {
    sql::Stmt st(db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND "
                      "name NOT LIKE 'sqlite_%' ORDER BY name");
    std::vector<std::string> tables;
    while (sqlite3_step(st.s) == SQLITE_ROW) {
        if (st.colText(0) == "rounds") return;
        tables.push_back(st.colText(0));
    }
    if (tables.empty()) return;
    std::string names;
    for (std::size_t i = 0; i < tables.size() && i < 3; ++i) names += (i ? ", " : "") + tables[i];
    if (tables.size() > 3) names += ", ...";
    throw StoreError("not an smd-host history: it holds other tables (" + names +
                     ") and no rounds; name another file");
}

sqlite3_stmt* HistoryStore::kept(Kept which) {
    sqlite3_stmt*& s = kept_[which];
    if (s != nullptr) return s;
    std::string text;
    switch (which) {
    case kInsertTransition:
        text = "INSERT INTO transitions(device, data_id, at, signal_id, name, value_text, state, "
               "t) VALUES(?1,?2,?3,?4,?5,?6,?7,?8)";
        break;
    case kInsertRound:
        text = "INSERT INTO rounds(key, kind, data_id, stored, record) VALUES(?1,?2,?3,?4,?5)";
        break;
    case kUpsertMinute: text = upsert("tier_minute"); break;
    case kUpsertHour: text = upsert("tier_hour"); break;
    case kPruneRaw: text = pruneOldest("rounds", "key"); break;
    case kPruneMinute: text = pruneOldest("tier_minute", "key"); break;
    case kPruneHour: text = pruneOldest("tier_hour", "key"); break;
    case kPruneTransitions:
        text = "DELETE FROM transitions WHERE id IN (SELECT id FROM transitions "
               "WHERE t < ?1 ORDER BY id LIMIT ?2)";
        break;
    case kBegin: text = "BEGIN IMMEDIATE"; break;
    case kCommit: text = "COMMIT"; break;
    case kRollback: text = "ROLLBACK"; break;
    case kPageCount: text = "PRAGMA page_count"; break;
    case kFreePages: text = "PRAGMA freelist_count"; break;
    case kNewestKey: text = "SELECT key FROM rounds ORDER BY key DESC LIMIT 1"; break;
    case kKeptCount: break;
    }
    if (sqlite3_prepare_v3(db_, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
        SQLITE_OK) {
        const std::string why = sqlite3_errmsg(db_);
        s = nullptr;
        throw StoreError(why);
    }
    return s;
}

}  // namespace smdhost
