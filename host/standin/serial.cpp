// Stand-in for the host's serial-port device and Modbus RTU master: the
// SMDSPDevice and SPModbus members; the port itself is the SerialLink, and
// devices naming one port path share its SerialBus.
//
// The port is named in the host's own part of the settings document:
//   "hostSetting": {"serialPort": "/dev/ttyUSB0", "slaveAddress": 1,
//                   "baudRate": 9600, "replyTimeoutMs": 1000, "parity": "none",
//                   "stopBits": 1, "localEcho": "auto", "rs485": {...}}
//
// Lifetime: the port thread calls into the device, so the port must be
// closed before the device's own parts are destroyed. ClosePort() stops and
// joins the thread. Hosts close the port before deleting a device; the
// driver's destructor does so too, and the base destructors close it once
// more as a last line (by then a no-op). OpenPort() and ClosePort() refuse to
// run on the port thread itself, which could not join itself.
#include <iostream>
#include <string>
#include <vector>

#include "host_observer.h"
#include "modbus_rtu.h"
#include "serial_limits.h"
#include "serial_link.h"
#include "smd_host.h"

SMDSPDevice::SMDSPDevice() : link_(new SerialLink(*this)) {}

SMDSPDevice::~SMDSPDevice() {
    SMDSPDevice::ClosePort();
    delete link_;
}

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

// Opening an open port is a no-op; a port that failed, vanished or whose
// settings changed is opened again.
int SMDSPDevice::OpenPort() {
    if (link_->onPortThread()) return -1;
    // Every command starts by opening the port: a reply still on its way
    // belongs to an earlier command, whose pending state is already gone.
    link_->supersede();
    int baud;
    {
        auto lock = link_->lock();
        baud = baudRate_;
    }
    std::string path;
    const bool ok = link_->open(baud, path);
    smd::hostObserver()->onOpenPort(*this, path, ok);
    return ok ? 0 : -1;
}

int SMDSPDevice::ClosePort() {
    if (link_->onPortThread()) return -1;
    link_->close();
    return 0;
}

SPModbus::SPModbus() { link_->attach(this); }

SPModbus::~SPModbus() {
    SMDSPDevice::ClosePort();
    link_->attach(nullptr);
}

namespace {

bool intIn(const Json::Value& v, long long lo, long long hi) {
    return v.isInt64() && v.asInt64() >= lo && v.asInt64() <= hi;
}

// "rs485" into line; false (and the key in refused) when it cannot be applied.
bool readRs485(const Json::Value& v, SerialLink::LineSettings& line, const char*& refused) {
    refused = "rs485";
    if (v.isNull()) {
        line.rs485 = false;
        return true;
    }
    if (!v.isObject()) return false;
    for (const std::string& key : v.getMemberNames()) {
        const Json::Value& item = v[key];
        if (key == "enabled" || key == "rtsOnSend" || key == "rtsAfterSend") {
            if (!item.isBool()) return false;
        } else if (key == "delayBeforeSendMs" || key == "delayAfterSendMs") {
            if (!intIn(item, 0, smd::kMaxRs485DelayMs)) return false;
        } else {
            return false;
        }
    }
    line.rs485 = true;
    line.rs485Enabled = v.get("enabled", true).asBool();
    line.rtsOnSend = v.get("rtsOnSend", true).asBool();
    line.rtsAfterSend = v.get("rtsAfterSend", false).asBool();
    line.delayBeforeSendMs = v.get("delayBeforeSendMs", 0).asInt();
    line.delayAfterSendMs = v.get("delayAfterSendMs", 0).asInt();
    return true;
}

// The line's own keys into line; the first that cannot be applied in refused.
void readLine(const Json::Value& host, SerialLink::LineSettings& line, const char*& refused) {
    const Json::Value& parity = host["parity"];
    const Json::Value& stop = host["stopBits"];
    const Json::Value& echo = host["localEcho"];
    if (!parity.isNull()) {
        if (!parity.isString() || !smd::isParity(parity.asString())) {
            refused = "parity";
            return;
        }
        line.parity = static_cast<char>(parity.asString()[0] - 'a' + 'A');
    }
    if (!stop.isNull()) {
        if (!intIn(stop, 1, 2)) {
            refused = "stopBits";
            return;
        }
        line.stopBits = stop.asInt();
    }
    if (!echo.isNull()) {
        if (!echo.isString() || !smd::isLocalEcho(echo.asString())) {
            refused = "localEcho";
            return;
        }
        using Echo = SerialLink::LineSettings::Echo;
        const std::string e = echo.asString();
        line.echo = e == "on" ? Echo::on : e == "off" ? Echo::off : Echo::detect;
    }
    const char* bad = nullptr;
    if (host.isMember("rs485") && !readRs485(host["rs485"], line, bad)) refused = bad;
}

}  // namespace

// Reads "hostSetting". A key that is there but cannot be applied refuses
// the document and nothing of it is applied; no document shape throws.
bool SPModbus::InitSetting(const Json::Value& settings) {
    const Json::Value& host =
        settings.isObject() ? settings["hostSetting"] : Json::Value::nullSingleton();
    if (host.isObject()) {
        const Json::Value& port = host["serialPort"];
        const Json::Value& slave = host["slaveAddress"];
        const Json::Value& baud = host["baudRate"];
        const Json::Value& timeout = host["replyTimeoutMs"];
        const char* refused = nullptr;
        SerialLink::Settings s = link_->settings();
        if (!slave.isNull() && !intIn(slave, smd::kMinSlaveAddress, smd::kMaxSlaveAddress)) {
            refused = "slaveAddress";
        } else if (!baud.isNull() && !(baud.isInt64() && smd::isBaudRate(baud.asInt64()))) {
            refused = "baudRate";
        } else if (!timeout.isNull() &&
                   !intIn(timeout, smd::kMinReplyTimeoutMs, smd::kMaxReplyTimeoutMs)) {
            refused = "replyTimeoutMs";
        } else {
            readLine(host, s.line, refused);
        }
        if (refused != nullptr) {
            std::cout << "SPModbus::InitSetting refused: hostSetting." << refused
                      << " cannot be applied" << std::endl;
            return false;
        }
        if (port.isString()) s.path = port.asString();
        if (!slave.isNull()) s.slave = slave.asInt();
        if (!timeout.isNull()) s.replyTimeoutMs = timeout.asInt();
        SerialLink::Use use;
        {
            auto lock = link_->lock();
            use.baud = baud.isNull() ? baudRate_ : baud.asInt();
        }
        use.slave = s.slave;
        use.line = s.line;
        // Devices on one bus share its line and each has a slave address of its own.
        std::string why;
        if (SerialLink::conflicting(link_, s.path, use, &why) != nullptr) {
            std::cout << "SPModbus::InitSetting refused: device " << DataId() << " wants "
                      << s.path << why << std::endl;
            return false;
        }
        link_->configure(s);
        if (!baud.isNull()) {
            auto lock = link_->lock();
            baudRate_ = baud.asInt();
        }
    }
    return SMDVDevice::InitSetting(settings);
}

// Checks a received reply against the request in flight, then hands its
// words to the device. An echo of another register answers another request.
int SPModbus::process(unsigned char* frame, unsigned int length) {
    const SerialLink::Expected want = link_->expected();
    const smd::rtu::Reply reply =
        smd::rtu::checkReply(frame, length, link_->slave(), want.function, want.address);
    if (reply.check != smd::rtu::Check::ok) {
        on_error();
        return -1;
    }
    if (!link_->claim()) return -1;
    for (int i = 0; i < reply.wordCount; ++i) responseWords_[i] = reply.words[i];
    return process_payload(frame, length);
}

int SPModbus::modbus_write_register(int address, int value) {
    smd::hostObserver()->onModbusWrite(*this, smd::rtu::kWriteSingle, address,
                                       std::vector<uint16_t>{static_cast<uint16_t>(value)});
    SerialLink::Request req;
    req.function = smd::rtu::kWriteSingle;
    req.address = address;
    if (address >= 0 && address <= 0xFFFF && value >= 0 && value <= 0xFFFF) {
        req.frame = smd::rtu::writeSingle(static_cast<uint8_t>(link_->slave()),
                                          static_cast<uint16_t>(address),
                                          static_cast<uint16_t>(value));
    }
    return link_->submit(std::move(req)) ? 0 : -1;
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    std::vector<uint16_t> words;
    if (values != nullptr && count > 0) words.assign(values, values + count);
    smd::hostObserver()->onModbusWrite(*this, smd::rtu::kWriteMultiple, address, words);
    SerialLink::Request req;
    req.function = smd::rtu::kWriteMultiple;
    req.address = address;
    // Registers past 65535 do not exist: the request is refused, not wrapped.
    if (address >= 0 && values != nullptr && count >= 1 &&
        count <= smd::rtu::kMaxWriteRegisters && address + count - 1 <= 0xFFFF) {
        req.frame = smd::rtu::writeMultiple(static_cast<uint8_t>(link_->slave()),
                                            static_cast<uint16_t>(address), words.data(),
                                            words.size());
    }
    return link_->submit(std::move(req)) ? 0 : -1;
}
