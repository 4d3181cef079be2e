// The history's current tables, shared by its creation and its upgrade; not
// for other users.
#pragma once

#include <string>

namespace smdhost {
namespace sql {

constexpr int kCopyBits = 4, kDeviceBits = 12;  // of a round's key; a tier's key has no copy
constexpr int kMostDevices = 1 << kDeviceBits;

inline long long roundKey(long long t, int device, int copy) {
    return (t << (kCopyBits + kDeviceBits)) | (static_cast<long long>(device) << kCopyBits) | copy;
}
inline long long roundTime(long long key) { return key >> (kCopyBits + kDeviceBits); }
inline int roundDevice(long long key) { return static_cast<int>((key >> kCopyBits) & (kMostDevices - 1)); }
inline long long tierKey(long long t, int device) { return (t << kDeviceBits) | device; }
inline long long tierTime(long long key) { return key >> kDeviceBits; }
inline int tierDevice(long long key) { return static_cast<int>(key & (kMostDevices - 1)); }

std::string currentSchema();
std::string roundsTable(const char* name);
std::string tierTable(const char* name);
std::string tierValues();  // the tier columns after the key, in table order
std::string runsTable();

}  // namespace sql
}  // namespace smdhost
