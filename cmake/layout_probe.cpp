// Compiled, never linked: the offsets of the host members the plug-in
// touches, and the class sizes, as text constants that PrintLayout.cmake
// reads back from the object file. Works for cross builds, where nothing
// built can run.
#include <cstddef>

#include "plor_sps.h"

#pragma GCC diagnostic ignored "-Winvalid-offsetof"

namespace {

template <std::size_t N>
struct Text {
    char chars[N];
};

// "PLOR_LAYOUT <order> <name> <value>" with the value in decimal.
template <std::size_t L>
constexpr Text<L + 24> entry(const char (&name)[L], std::size_t value) {
    Text<L + 24> out{};
    const char prefix[] = "PLOR_LAYOUT ";
    std::size_t at = 0;
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) out.chars[at++] = prefix[i];
    for (std::size_t i = 0; i + 1 < L; ++i) out.chars[at++] = name[i];
    out.chars[at++] = ' ';
    std::size_t digits = 1;
    for (std::size_t v = value; v >= 10; v /= 10) ++digits;
    for (std::size_t i = digits; i > 0; --i, value /= 10) out.chars[at + i - 1] = char('0' + value % 10);
    return out;
}

// Protected members are named through a derived class; member function
// bodies see it complete.
struct Probe : PLOR_SPS {
    static constexpr std::size_t dataId() { return offsetof(Probe, dataId_); }
    static constexpr std::size_t deviceType() { return offsetof(Probe, deviceType_); }
    static constexpr std::size_t useControllerDb() { return offsetof(Probe, useControllerDb_); }
    static constexpr std::size_t dataReady() { return offsetof(Probe, dataReady_); }
    static constexpr std::size_t batchResult() { return offsetof(Probe, batchResult_); }
    static constexpr std::size_t updateTime() { return offsetof(Probe, updateTime_); }
    static constexpr std::size_t statusWord() { return offsetof(Probe, statusWord_); }
    static constexpr std::size_t ruleValues() { return offsetof(Probe, ruleValues_); }
    static constexpr std::size_t thresholdLevels() { return offsetof(Probe, thresholdLevels_); }
    static constexpr std::size_t thresholdValues() { return offsetof(Probe, thresholdValues_); }
    static constexpr std::size_t baudRate() { return offsetof(Probe, baudRate_); }
    static constexpr std::size_t portFlag() { return offsetof(Probe, portFlag_); }
    static constexpr std::size_t pendingCode() { return offsetof(Probe, pendingCode_); }
    static constexpr std::size_t responseWords() { return offsetof(Probe, responseWords_); }
    static constexpr std::size_t record() { return offsetof(Probe, record_); }
};

#define PLOR_LAYOUT(var, name, value) \
    __attribute__((used)) constexpr auto var = entry(#var " " name, value)

PLOR_LAYOUT(l01, "VDeviceInterface::dataId_", Probe::dataId());
PLOR_LAYOUT(l02, "VDeviceInterface::deviceType_", Probe::deviceType());
PLOR_LAYOUT(l03, "VDeviceInterface::useControllerDb_", Probe::useControllerDb());
PLOR_LAYOUT(l04, "SMDVDevice::dataReady_", Probe::dataReady());
PLOR_LAYOUT(l05, "SMDVDevice::batchResult_", Probe::batchResult());
PLOR_LAYOUT(l06, "SMDVDevice::updateTime_", Probe::updateTime());
PLOR_LAYOUT(l07, "SMDVDevice::statusWord_", Probe::statusWord());
PLOR_LAYOUT(l08, "SMDVDevice::ruleValues_", Probe::ruleValues());
PLOR_LAYOUT(l09, "SMDVDevice::thresholdLevels_", Probe::thresholdLevels());
PLOR_LAYOUT(l10, "SMDVDevice::thresholdValues_", Probe::thresholdValues());
PLOR_LAYOUT(l11, "SMDSPDevice::baudRate_", Probe::baudRate());
PLOR_LAYOUT(l12, "SMDSPDevice::portFlag_", Probe::portFlag());
PLOR_LAYOUT(l13, "SPModbus::pendingCode_", Probe::pendingCode());
PLOR_LAYOUT(l14, "SPModbus::responseWords_", Probe::responseWords());
PLOR_LAYOUT(l15, "sizeof(SMDVDevice)", sizeof(SMDVDevice));
PLOR_LAYOUT(l16, "sizeof(SMDSPDevice)", sizeof(SMDSPDevice));
PLOR_LAYOUT(l17, "sizeof(SPModbus)", sizeof(SPModbus));
PLOR_LAYOUT(l18, "UniDataDevice::record_", Probe::record());
PLOR_LAYOUT(l19, "sizeof(PLOR_SPS)", sizeof(PLOR_SPS));

}  // namespace
