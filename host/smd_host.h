// The host framework's device classes, as the plug-in sees them.
//
// The framework itself is a closed library that the loading process brings
// along; this header only declares what the plug-in overrides, calls or
// touches. The order of the virtual operations below is the framework's
// vtable layout: moving a declaration breaks binary compatibility with the
// real host (tests/abi_test.cpp guards it).
//
// Members defined inline here are compiled into the plug-in; everything else
// resolves from the loading process (on a PC, from the stand-in library in
// host/standin/).
#pragma once

#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/json.h>

#define SMD_HOST_API __attribute__((visibility("default")))

// Packed calendar time as the host stores it next to records.
struct __attribute__((packed)) ttime_t {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
static_assert(sizeof(ttime_t) == 7, "ttime_t is a 7-byte wire format");

SMD_HOST_API ttime_t get_ttime(boost::posix_time::ptime t);

// One threshold rule result handed to the host's batch check.
struct SMD_HOST_API rule_value {
    std::string signalId;
    std::string name;
    std::string value;
    std::string level;
};

class SMDController;
class SMDVDevice;

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

class SMD_HOST_API VDeviceInterface {
public:
    VDeviceInterface();

    virtual double Get_Value(unsigned int /*id*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& image) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                             static_cast<int>(image.size()));
    }
    virtual bool LoadFromCache(const unsigned char* bytes, int length);
    virtual unsigned int DataId() const { return dataId_; }
    virtual const std::string& DeviceType() const { return deviceType_; }
    virtual int DeviceIoControl(int code, const void* input, int inputLength, void* output,
                                int outputCapacity, int& outputLength) = 0;
    virtual void RoundDone();
    virtual bool UseControllerDb() { return useControllerDb_; }
    virtual ~VDeviceInterface();
    virtual int Reset() = 0;

protected:
    unsigned int dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;
};

class SMD_HOST_API SMDVDevice : public VDeviceInterface {
public:
    SMDVDevice();
    ~SMDVDevice() override;

    int DeviceIoControl(int code, const void* input, int inputLength, void* output,
                        int outputCapacity, int& outputLength) override;
    int Reset() override;

    virtual bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& settings);
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                      const Json::Value& settings);
    virtual bool InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int /*dataId*/) {
        return std::shared_ptr<SMDVDevice>();
    }
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<SMDVDevice>>();
    }
    virtual int SendSP(int code, const unsigned char* data, unsigned int length, bool urgent);
    virtual int SendDelayData(int code);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual int ReadAi(int channel);
    virtual double Get_SP_Value(unsigned int id, const std::string& name);
    virtual int RefreshStatus();

    // Non-virtual host services.
    int CheckThresholdBool(int kind, const std::string& signalId, const std::string& alarmId,
                           const std::string& name, const std::string& valueText, bool active,
                           unsigned short level);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    int SaveDeviceHistory(const unsigned char* data, unsigned int length);

protected:
    bool dataReady_ = false;
    bool batchResult_ = false;
    boost::posix_time::ptime updateTime_;
    uint16_t statusWord_ = 0;
    std::vector<rule_value> ruleValues_;
    std::map<std::string, int> thresholdLevels_;
    std::map<std::string, float> thresholdValues_;
};

class SerialLink;  // the stand-in's port state; opaque to the plug-in

class SMD_HOST_API SMDSPDevice : public SMDVDevice {
public:
    SMDSPDevice();
    ~SMDSPDevice() override;
    SMDSPDevice(const SMDSPDevice&) = delete;
    SMDSPDevice& operator=(const SMDSPDevice&) = delete;

    int Reset() override;
    bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
              const Json::Value& settings) override;
    int RefreshStatus() override;

    virtual int process(unsigned char* frame, unsigned int length);
    virtual bool IsProcessing();
    virtual bool IsStalled();
    virtual int SendData(const unsigned char* data, unsigned int length);
    virtual int SendParityData(const unsigned char* data, unsigned int length, EnumParity parity);
    virtual int OpenPort();
    virtual int ClosePort();

protected:
    int baudRate_ = 9600;
    uint8_t portFlag_ = 0;
    SerialLink* link_ = nullptr;
};

class SMD_HOST_API SPModbus : public SMDSPDevice {
public:
    // A received reply frame (address byte first, CRC last).
    typedef const unsigned char* tab_type;

    SPModbus();
    ~SPModbus() override;

    bool InitSetting(const Json::Value& settings) override;
    int process(unsigned char* frame, unsigned int length) override;

    virtual int process_payload(tab_type frame, unsigned int length) = 0;
    virtual int on_error() {
        std::cout << "SPModbus get error" << std::endl;
        return 0;
    }

    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

    static constexpr int kResponseWords = 128;

protected:
    int pendingCode_ = 0;
    uint16_t responseWords_[kResponseWords] = {};
};

// Provider hierarchy: the host asks a provider for new devices.
class SMD_HOST_API Provider {
public:
    Provider() {}
    virtual ~Provider() {}
};

class SMD_HOST_API SMDSPDeviceProvider : public Provider {
public:
    SMDSPDeviceProvider() {}
    ~SMDSPDeviceProvider() override {}
    virtual SMDVDevice* create() const = 0;
};
