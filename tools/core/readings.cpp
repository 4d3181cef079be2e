#include "readings.h"

namespace smdhost {

const std::array<Reading, kReadingCount> kReadings{{
    {"temperature", "temperature", "plor_sps_temperature_celsius", "Temperature at the supply.",
     "°C", "temp", "C", &Record::temperature},
    {"loadCurrent", "load_current", "plor_sps_load_current_amperes", "DC load current.", "A",
     "load", "A", &Record::loadCurrent},
    {"dcVoltage", "dc_voltage", "plor_sps_dc_voltage_volts", "DC output voltage.", "V", "dc", "V",
     &Record::dcVoltage},
    {"acVoltage", "ac_voltage", "plor_sps_ac_voltage_volts", "AC input voltage (phase A).", "V",
     "ac", "V", &Record::acVoltage},
    {"acCurrent", "ac_current", "plor_sps_ac_current_amperes", "AC input current.", "A", "ac-in",
     "A", &Record::acCurrent},
}};

const std::array<Alarm, kAlarmCount> kAlarms{{
    {"41B220302001", "直流输出电压过低", "dc_low"},
    {"41B220304001", "直流输出电压过高", "dc_high"},
    {"41B210404001", "交流输入A相电压过高", "ac_high"},
    {"41B210402001", "交流输入A相电压过低", "ac_low"},
    {"41B415001001", "市电故障", "mains_fail"},
    {"41B430501001", "模块故障", "module_fail"},
}};

int alarmIndex(const std::string& signalId) {
    for (std::size_t i = 0; i < kAlarms.size(); ++i)
        if (signalId == kAlarms[i].signalId) return static_cast<int>(i);
    return -1;
}

}  // namespace smdhost
