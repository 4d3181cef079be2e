// SQLite helpers shared by the history store's files; not for other users.
#pragma once

#include <sqlite3.h>

#include <string>

#include "history_store.h"
#include "readings.h"

namespace smdhost {
namespace sql {

// A statement prepared for one use.
struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* db, const std::string& text) {
        if (sqlite3_prepare_v2(db, text.c_str(), -1, &s, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    void text(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, long long v) { sqlite3_bind_int64(s, i, v); }
    void real(int i, double v) { sqlite3_bind_double(s, i, v); }
    std::string colText(int i) {
        const unsigned char* t = sqlite3_column_text(s, i);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
};

// A kept statement, reset and unbound when the use ends.
class Use {
public:
    explicit Use(sqlite3_stmt* s) : s(s) {}
    ~Use() {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    void text(int i, const std::string& v) {
        sqlite3_bind_text(s, i, v.c_str(), static_cast<int>(v.size()), SQLITE_STATIC);
    }
    void integer(int i, long long v) { sqlite3_bind_int64(s, i, v); }
    void real(int i, double v) { sqlite3_bind_double(s, i, v); }
    sqlite3_stmt* const s;
};

void exec(sqlite3* db, const std::string& text);

// A transitions row from columns id, device, data_id, at, signal_id, name,
// value_text, state (in that order).
inline TransitionRow transitionRow(Stmt& st) {
    TransitionRow r;
    r.id = sqlite3_column_int64(st.s, 0);
    r.device = st.colText(1);
    r.dataId = static_cast<unsigned int>(sqlite3_column_int64(st.s, 2));
    r.at = st.colText(3);
    r.signalId = st.colText(4);
    r.name = st.colText(5);
    r.valueText = st.colText(6);
    r.raised = st.colText(7) == "raised";
    return r;
}

}  // namespace sql
}  // namespace smdhost
