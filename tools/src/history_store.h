// The host's history: every stored record and every alarm transition, in an
// SQLite database (WAL, so `smd-host history` can read while a run writes).
#pragma once

#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "record.h"

struct sqlite3;

namespace smdhost {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RoundRow {
    long long id = 0;
    std::string device;
    unsigned int dataId = 0;
    std::string storedAt;
    std::string source;  // "round" or "restore"
    std::vector<unsigned char> image;
};

struct TransitionRow {
    long long id = 0;
    std::string device;
    unsigned int dataId = 0;
    std::string at;
    std::string signalId, name, valueText;
    bool raised = false;
};

class HistoryStore {
public:
    // readOnly: the database must exist already.
    HistoryStore(const std::string& path, bool readOnly);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    const std::string& path() const { return path_; }

    void addRound(const std::string& device, unsigned int dataId, const std::string& source,
                  const unsigned char* image, std::size_t length, const std::string& storedAt);
    void addTransition(const std::string& device, unsigned int dataId, const std::string& at,
                       const std::string& signalId, const std::string& name,
                       const std::string& valueText, bool raised);

    // The image of the device's latest stored record; false when none.
    bool lastRecord(const std::string& device, std::vector<unsigned char>& image);
    // Per signal identifier, whether its last transition raised it.
    std::map<std::string, bool> alarmStates(const std::string& device);

    // Oldest first; device empty means every device; limit 0 means all
    // (otherwise the latest `limit` rows).
    std::vector<RoundRow> rounds(const std::string& device, long long limit);
    std::vector<TransitionRow> transitions(const std::string& device, long long limit);
    long long countRounds(const std::string& device);
    long long countTransitions(const std::string& device);

    // Proves at start that the database takes writes (a write transaction)
    // and is sound (PRAGMA quick_check); StoreError with the reason if not.
    void checkSound();

    // After this every call is ignored (used when leaving with a stuck device).
    void close();

private:
    void exec(const char* sql);
    std::string path_;
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};

}  // namespace smdhost
