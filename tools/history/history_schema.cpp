// The history's tables, their upgrade from older files, and the statements
// every round uses.
#include <sqlite3.h>

#include <string>
#include <utility>
#include <vector>

#include "history_sql.h"
#include "history_store.h"
#include "history_time.h"

namespace smdhost {

namespace {

// The first schema (user_version 0), still what a new file starts from.
const char* const kBaseSchema = R"(
CREATE TABLE IF NOT EXISTS rounds(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  device TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  stored_at TEXT NOT NULL,
  source TEXT NOT NULL,
  record BLOB NOT NULL CHECK(length(record) = 37),
  record_time TEXT,
  temperature REAL, load_current REAL, dc_voltage REAL, ac_voltage REAL, ac_current REAL,
  dc_low INTEGER, dc_high INTEGER, ac_high INTEGER, ac_low INTEGER,
  mains_fail INTEGER, module_fail INTEGER);
CREATE INDEX IF NOT EXISTS rounds_by_device ON rounds(device, id);
CREATE TABLE IF NOT EXISTS transitions(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  device TEXT NOT NULL,
  data_id INTEGER NOT NULL,
  at TEXT NOT NULL,
  signal_id TEXT NOT NULL,
  name TEXT NOT NULL,
  value_text TEXT,
  state TEXT NOT NULL CHECK(state IN ('raised', 'cleared')));
CREATE INDEX IF NOT EXISTS transitions_by_device ON transitions(device, id);
)";

// Schema 1: unix seconds beside the local time texts, and the two tiers.
std::string tierTable(const char* name) {
    std::string sql = std::string("CREATE TABLE ") + name +
                      "(\n  device TEXT NOT NULL,\n  t INTEGER NOT NULL,\n  n INTEGER NOT NULL,";
    for (const Reading& k : kReadings)
        sql += std::string("\n  ") + k.column + "_min REAL, " + k.column + "_sum REAL, " + k.column + "_max REAL,";
    return sql + "\n  alarms INTEGER NOT NULL,\n  PRIMARY KEY(device, t)) WITHOUT ROWID;\n";
}

std::string tierColumns() {
    std::string cols = "device, t, n";
    for (const Reading& k : kReadings)
        cols += std::string(", ") + k.column + "_min, " + k.column + "_sum, " + k.column + "_max";
    return cols + ", alarms";
}

// What a bucket already stored takes from one added to it.
std::string mergeClause() {
    std::string sql = " ON CONFLICT(device, t) DO UPDATE SET n = n + excluded.n";
    for (const Reading& k : kReadings) {
        const std::string c = k.column;
        sql += ", " + c + "_min = min(" + c + "_min, excluded." + c + "_min)";
        sql += ", " + c + "_sum = " + c + "_sum + excluded." + c + "_sum";
        sql += ", " + c + "_max = max(" + c + "_max, excluded." + c + "_max)";
    }
    return sql + ", alarms = alarms | excluded.alarms";
}

// Stored rounds added to a tier's buckets in one statement: all of them at the
// upgrade, or (filter "AND device = ?1 AND t >= ?2") those a crash kept from it.
std::string fold(const char* table, int step, const std::string& filter) {
    const std::string bucket = "(t / " + std::to_string(step) + ") * " + std::to_string(step);
    std::string sql = std::string("INSERT INTO ") + table + "(" + tierColumns() + ") SELECT device, " +
                      bucket + ", count(*)";
    for (const Reading& k : kReadings)
        sql += std::string(", min(") + k.column + "), sum(" + k.column + "), max(" + k.column + ")";
    sql += ", 0";
    for (std::size_t i = 0; i < kAlarms.size(); ++i)
        sql += " | (max(" + std::string(kAlarms[i].key) + " <> 0) << " + std::to_string(i) + ")";
    return sql + " FROM rounds WHERE source = 'round' AND t IS NOT NULL " + filter +
           " GROUP BY device, " + bucket + mergeClause() + ";\n";
}

// A summed-up minute added to its bucket: ?1 device, ?2 bucket start, ?3 rounds,
// ?4..?18 min, sum, max of each reading, ?19 alarm mask.
std::string upsert(const char* table) {
    std::string sql = std::string("INSERT INTO ") + table + "(" + tierColumns() + ") VALUES(?1, ?2, ?3";
    for (int i = 4; i <= 19; ++i) sql += ", ?" + std::to_string(i);
    return sql + ")" + mergeClause();
}

// local_unix(text): the store's reading of a local time text, for the upgrade.
void localUnixSql(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const unsigned char* text = sqlite3_value_text(argv[0]);
    const long long t =
        text ? static_cast<LocalTime*>(sqlite3_user_data(ctx))->unix(reinterpret_cast<const char*>(text))
             : -1;
    if (t < 0)
        sqlite3_result_null(ctx);
    else
        sqlite3_result_int64(ctx, t);
}

// Schema 0 to 1: unix times beside the texts, and the tiers made from every round.
std::string schema1() {
    return std::string(kBaseSchema) +
           "ALTER TABLE rounds ADD COLUMN t INTEGER;\n"
           "UPDATE rounds SET t = local_unix(record_time);\n"
           "CREATE INDEX rounds_by_device_t ON rounds(device, t);\n"
           "ALTER TABLE transitions ADD COLUMN t INTEGER;\n"
           "UPDATE transitions SET t = local_unix(at);\n"
           "CREATE INDEX transitions_by_device_t ON transitions(device, t);\n" +
           tierTable("tier_minute") + tierTable("tier_hour") + fold("tier_minute", 60, "") +
           fold("tier_hour", 3600, "");
}

// Schema 1 to 2: schema 1 kept a device's current minute in memory, so a run
// that ended without closing lost it from the tiers. Every bucket whose
// rounds are all still kept is made again from them.
std::string rebuildTiers() {
    std::string sql = "CREATE TEMP TABLE covered AS SELECT device, min(t) AS first FROM rounds "
                      "WHERE source = 'round' AND t IS NOT NULL GROUP BY device;\n";
    for (const auto& [table, step] : {std::pair<const char*, int>{"tier_minute", 60},
                                      std::pair<const char*, int>{"tier_hour", 3600}}) {
        const std::string s = std::to_string(step);
        // The first bucket that starts at or after a device's oldest round.
        const std::string first = "(SELECT (first + " + s + " - 1) / " + s + " * " + s +
                                  " FROM temp.covered c WHERE c.device = ";
        sql += std::string("DELETE FROM ") + table + " WHERE t >= " + first + table + ".device);\n";
        sql += fold(table, step, "AND t >= " + first + "rounds.device)");
    }
    return sql + "DROP TABLE temp.covered;\n";
}

int userVersion(sqlite3* db) {
    sql::Stmt st(db, "PRAGMA user_version");
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int(st.s, 0) : 0;
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

// In one transaction: a file that breaks off half-way stays at its old schema.
void HistoryStore::upgrade() {
    const int version = userVersion(db_);
    if (version > kHistorySchema)
        throw StoreError("written by a newer smd-host (schema " + std::to_string(version) + ")");
    if (version == kHistorySchema) return;
    LocalTime local;
    sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, &local, localUnixSql, nullptr,
                            nullptr);
    sql::exec(db_, "BEGIN IMMEDIATE");
    try {
        sql::exec(db_, (version == 0 ? schema1() : rebuildTiers()) + "PRAGMA user_version = " +
                           std::to_string(kHistorySchema) + ";\n");
        sql::exec(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, nullptr, nullptr, nullptr,
                                nullptr);
        throw;
    }
    sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr);
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
        text = "INSERT INTO rounds(device, data_id, stored_at, source, record, record_time";
        for (const Reading& k : kReadings) text += std::string(", ") + k.column;
        for (const Alarm& a : kAlarms) text += std::string(", ") + a.key;
        text += ", t) VALUES(?1";
        for (int i = 2; i <= 18; ++i) text += ",?" + std::to_string(i);
        text += ")";
        break;
    case kUpsertMinute: text = upsert("tier_minute"); break;
    case kUpsertHour: text = upsert("tier_hour"); break;
    // A batch every few rounds: a lowered --keep-raw catches up without stalling rounds.
    case kPruneRaw:
        text = "DELETE FROM rounds WHERE id IN (SELECT id FROM rounds "
               "WHERE device = ?1 AND t < ?2 ORDER BY t LIMIT 256)";
        break;
    case kPruneMinute:
    case kPruneHour: {
        const std::string table = which == kPruneMinute ? "tier_minute" : "tier_hour";
        text = "DELETE FROM " + table + " WHERE (device, t) IN (SELECT device, t FROM " + table +
               " WHERE device = ?1 AND t < ?2 ORDER BY t LIMIT 32)";
        break;
    }
    case kBegin: text = "BEGIN IMMEDIATE"; break;
    case kCommit: text = "COMMIT"; break;
    case kRollback: text = "ROLLBACK"; break;
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
