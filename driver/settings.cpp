#include "plor_sps.h"

bool PLOR_SPS::InitSetting(const Json::Value& settings) {
    return UniDataDevice::InitSetting(settings);
}
