#include <cmath>
#include <cstdint>
#include <mutex>
#include <string>

#include "numbers.h"
#include "plor_sps.h"

namespace {

struct VoltageAlarm {
    const char* signalId;
    const char* name;
    bool dcSide;  // tests dcVoltage, else acVoltage
    bool below;   // active below the limit, else above it
    float limit;
    uint8_t PLOR_SPS_Data_t::*flag;
};

// Limits in volts; every comparison is strict.
const VoltageAlarm kVoltageAlarms[] = {
    {"41B220302001", "直流输出电压过低", true, true, 40.0f, &PLOR_SPS_Data_t::dcLowAlarm},
    {"41B220304001", "直流输出电压过高", true, false, 59.0f, &PLOR_SPS_Data_t::dcHighAlarm},
    {"41B210404001", "交流输入A相电压过高", false, false, 280.0f, &PLOR_SPS_Data_t::acHighAlarm},
    {"41B210402001", "交流输入A相电压过低", false, true, 150.0f, &PLOR_SPS_Data_t::acLowAlarm},
    {"41B415001001", "市电故障", false, true, 90.0f, &PLOR_SPS_Data_t::mainsFailAlarm},
};

// The host's alarm records spell an infinite reading out in full, as older
// Boost releases did; otherwise the text is lexical_cast's for a float: nine
// significant digits, and a NaN's sign read from the float itself (widening
// to double may drop it, as MIPS does).
std::string valueText(float value) {
    if (std::isinf(value)) return std::signbit(value) ? "-infinity" : "infinity";
    if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
    return plor::generalText(static_cast<double>(value), 9);
}

const char kModuleFailId[] = "41B430501001";
const char kModuleFailName[] = "模块故障";

}  // namespace

void PLOR_SPS::RunCheckThreshold() {
    int32_t mode;
    float dcVoltage, acVoltage;
    {
        std::lock_guard<std::mutex> lock(snapshotMutex_);
        mode = b_mode_;
        dcVoltage = record_.dcVoltage;
        acVoltage = record_.acVoltage;
    }
    if (mode != 1) return;

    // The host is called without the lock: it may query this device from
    // inside CheckThresholdBool.
    // One text per tested field serves all the alarms on it.
    const std::string dcText = valueText(dcVoltage);
    const std::string acText = valueText(acVoltage);
    bool anyActive = false;
    for (const VoltageAlarm& alarm : kVoltageAlarms) {
        const float value = alarm.dcSide ? dcVoltage : acVoltage;
        const std::string& text = alarm.dcSide ? dcText : acText;
        const bool active = alarm.below ? value < alarm.limit : value > alarm.limit;
        CheckThresholdBool(1, alarm.signalId, alarm.signalId, alarm.name, text, active, 1);
        {
            std::lock_guard<std::mutex> lock(snapshotMutex_);
            record_.*alarm.flag = active ? 1 : 0;
        }
        anyActive = anyActive || active;
    }
    CheckThresholdBool(1, kModuleFailId, kModuleFailId, kModuleFailName, kModuleFailName,
                       anyActive, 1);
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    record_.moduleFailAlarm = anyActive ? 1 : 0;
}
