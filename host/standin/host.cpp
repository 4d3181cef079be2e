// Stand-in for the closed host framework: the device services, forwarded to
// the installed observer.
#include <atomic>

#include "host_observer.h"
#include "smd_host.h"

namespace smd {
namespace {
std::atomic<HostObserver*> g_observer{nullptr};
HostObserver g_silent;
}  // namespace

void setHostObserver(HostObserver* observer) { g_observer.store(observer); }

HostObserver* hostObserver() {
    HostObserver* o = g_observer.load();
    return o != nullptr ? o : &g_silent;
}
}  // namespace smd

ttime_t get_ttime(boost::posix_time::ptime t) {
    ttime_t out{};
    if (t.is_special()) return out;
    const auto date = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<uint16_t>(date.year());
    out.month = static_cast<uint8_t>(date.month().as_number());
    out.day = static_cast<uint8_t>(date.day());
    out.hour = static_cast<uint8_t>(tod.hours());
    out.minute = static_cast<uint8_t>(tod.minutes());
    out.second = static_cast<uint8_t>(tod.seconds());
    return out;
}

VDeviceInterface::VDeviceInterface() {}
VDeviceInterface::~VDeviceInterface() {}
bool VDeviceInterface::LoadFromCache(const unsigned char*, int) { return false; }
void VDeviceInterface::RoundDone() {}

SMDVDevice::SMDVDevice() {}
SMDVDevice::~SMDVDevice() {}

int SMDVDevice::DeviceIoControl(int code, const void* input, int inputLength, void* output,
                                int outputCapacity, int& outputLength) {
    return smd::hostObserver()->onDeviceIoControl(*this, code, input, inputLength, output,
                                                  outputCapacity, outputLength);
}

int SMDVDevice::Reset() {
    smd::hostObserver()->onReset(*this);
    return 0;
}

bool SMDVDevice::InitV(SMDVDevice*, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    return true;
}

bool SMDVDevice::Init(std::weak_ptr<SMDController>, unsigned int dataId, const Json::Value&) {
    dataId_ = dataId;
    return true;
}

bool SMDVDevice::InitSetting(const Json::Value&) { return true; }

bool SMDVDevice::IsSupportDevice(const std::string& type) const { return type == deviceType_; }

int SMDVDevice::SendSP(int code, const unsigned char* data, unsigned int length, bool urgent) {
    smd::hostObserver()->onSendSP(*this, code, data, length, urgent);
    return 0;
}

int SMDVDevice::SendDelayData(int) { return 0; }
int SMDVDevice::SendDoData(int, char) { return 0; }
int SMDVDevice::ReadDi(int) { return 0; }
int SMDVDevice::ReadAi(int) { return 0; }
double SMDVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0.0; }
int SMDVDevice::RefreshStatus() { return 0; }

int SMDVDevice::CheckThresholdBool(int kind, const std::string& signalId,
                                   const std::string& alarmId, const std::string& name,
                                   const std::string& valueText, bool active,
                                   unsigned short level) {
    smd::hostObserver()->onCheckThresholdBool(*this, kind, signalId, alarmId, name, valueText,
                                              active, level);
    return 0;
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return smd::hostObserver()->onBatchCheckThreshold(*this, rules);
}

int SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
    smd::hostObserver()->onSaveDeviceHistory(*this, data, length);
    return 0;
}
