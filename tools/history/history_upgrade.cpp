// Older history files made current: each schema's step, in one transaction.
#include <sqlite3.h>

#include <string>
#include <utility>
#include <vector>

#include "history_schema.h"
#include "history_sql.h"
#include "history_store.h"
#include "history_time.h"

namespace smdhost {

namespace {

// The first schema (user_version 0).
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
std::string oldTierTable(const char* name) {
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
           oldTierTable("tier_minute") + oldTierTable("tier_hour") + fold("tier_minute", 60, "") +
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

// Schema 2 to 3: compact rows. The record image stays as it came; the
// decoded columns, the texts and the per-device indexes go; devices get
// numbers; every table is keyed by time first.
std::string schema3() {
    const std::string stored =
        "CASE WHEN local_unix(stored_at) IS NULL THEN NULL ELSE (local_unix(stored_at) - tt) * 1000 "
        "+ CASE WHEN substr(stored_at, 20, 1) = '.' THEN CAST(substr(stored_at, 21, 3) AS INTEGER) "
        "ELSE 0 END END";
    std::string text =
        "CREATE TABLE devices(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);\n"
        "INSERT INTO devices(name) SELECT device FROM rounds UNION SELECT device FROM tier_minute "
        "UNION SELECT device FROM tier_hour;\n" +
        sql::roundsTable("rounds3") +
        // More than 16 rounds of a device in one second only come from broken times: those go.
        "INSERT INTO rounds3(key, kind, data_id, stored, record) SELECT (tt << 16) | (dev << 4) | copy, "
        "kind, data_id, stored, record FROM (SELECT tt, d.id AS dev, row_number() OVER "
        "(PARTITION BY d.id, tt ORDER BY r.id) - 1 AS copy, CASE WHEN r.source = 'restore' THEN 1 "
        "WHEN r.t IS NULL THEN 2 ELSE 0 END AS kind, r.data_id, " + stored + " AS stored, r.record "
        "FROM (SELECT *, coalesce(t, local_unix(stored_at), 0) AS tt FROM rounds) r "
        "JOIN devices d ON d.name = r.device) WHERE copy < 16;\n"
        "DROP TABLE rounds;\nALTER TABLE rounds3 RENAME TO rounds;\n";
    for (const char* table : {"tier_minute", "tier_hour"}) {
        const std::string t = table, t3 = t + "3";
        text += sql::tierTable(t3.c_str()) + "INSERT INTO " + t3 + "(key, " + sql::tierValues() +
                ") SELECT (t << 12) | d.id, " + sql::tierValues() + " FROM " + t +
                " JOIN devices d ON d.name = " + t + ".device;\nDROP TABLE " + t + ";\nALTER TABLE " +
                t3 + " RENAME TO " + t + ";\n";
    }
    return text + sql::runsTable();
}

int userVersion(sqlite3* db) {
    sql::Stmt st(db, "PRAGMA user_version");
    return sqlite3_step(st.s) == SQLITE_ROW ? sqlite3_column_int(st.s, 0) : 0;
}

bool hasRounds(sqlite3* db) {
    sql::Stmt st(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'rounds'");
    return sqlite3_step(st.s) == SQLITE_ROW;
}

}  // namespace

// In one transaction: a file that breaks off half-way stays at its old schema.
void HistoryStore::upgrade() {
    const int version = userVersion(db_);
    if (version > kHistorySchema)
        throw StoreError("written by a newer smd-host (schema " + std::to_string(version) + ")");
    if (version == kHistorySchema) return;
    const bool fresh = version == 0 && !hasRounds(db_);
    // Lets a file over its budget give pages back; only settable before the first table.
    if (fresh) exec("PRAGMA auto_vacuum = INCREMENTAL");
    LocalTime local;
    sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, &local, localUnixSql, nullptr,
                            nullptr);
    std::string steps = fresh ? sql::currentSchema()
                        : version == 0 ? schema1() + schema3()
                        : version == 1 ? rebuildTiers() + schema3()
                                       : schema3();
    try {
        sql::exec(db_, "BEGIN IMMEDIATE");
        sql::exec(db_, steps + "PRAGMA user_version = " + std::to_string(kHistorySchema) + ";\n");
        sql::exec(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, nullptr, nullptr, nullptr,
                                nullptr);
        throw;
    }
    sqlite3_create_function(db_, "local_unix", 1, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr);
    if (fresh) return;
    // Once: the old rows' pages handed back, and the file able to shrink from here on.
    exec("PRAGMA auto_vacuum = INCREMENTAL");
    exec("VACUUM");
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

}  // namespace smdhost
