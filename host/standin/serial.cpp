// Stand-in for the host's serial-port device and Modbus master. For now it
// records what a device asks for; no bytes reach a port.
#include <vector>

#include "host_observer.h"
#include "smd_host.h"

SMDSPDevice::SMDSPDevice() {}
SMDSPDevice::~SMDSPDevice() {}

int SMDSPDevice::Reset() { return SMDVDevice::Reset(); }

bool SMDSPDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                       const Json::Value& settings) {
    return SMDVDevice::Init(controller, dataId, settings);
}

int SMDSPDevice::RefreshStatus() { return 0; }
int SMDSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool SMDSPDevice::IsProcessing() { return false; }
bool SMDSPDevice::IsStalled() { return false; }
int SMDSPDevice::SendData(const unsigned char*, unsigned int length) {
    return static_cast<int>(length);
}
int SMDSPDevice::SendParityData(const unsigned char*, unsigned int length, EnumParity) {
    return static_cast<int>(length);
}

int SMDSPDevice::OpenPort() {
    smd::hostObserver()->onOpenPort(*this, std::string(), true);
    return 0;
}

int SMDSPDevice::ClosePort() { return 0; }

SPModbus::SPModbus() {}
SPModbus::~SPModbus() {}

bool SPModbus::InitSetting(const Json::Value& settings) { return SMDVDevice::InitSetting(settings); }

int SPModbus::process(unsigned char* frame, unsigned int length) {
    return process_payload(frame, length);
}

int SPModbus::modbus_write_register(int address, int value) {
    smd::hostObserver()->onModbusWrite(*this, 6, address,
                                       std::vector<uint16_t>{static_cast<uint16_t>(value)});
    return 0;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    std::vector<uint16_t> words;
    if (values != nullptr && count > 0) words.assign(values, values + count);
    smd::hostObserver()->onModbusWrite(*this, 16, address, words);
    return 0;
}
