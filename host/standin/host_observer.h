// What the stand-in host does with what a device hands it.
//
// The stand-in forwards every host service a device calls to the observer
// that the embedding program installed (tests install a recording one; the
// runnable host prints and stores). With no observer installed, the calls
// succeed and nothing is kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smd_host.h"

namespace smd {

class HostObserver {
public:
    virtual ~HostObserver() = default;

    virtual void onSendSP(const SMDVDevice& /*dev*/, int /*code*/, const unsigned char* /*data*/,
                          unsigned int /*length*/, bool /*urgent*/) {}
    virtual void onReset(const SMDVDevice& /*dev*/) {}
    virtual void onCheckThresholdBool(const SMDVDevice& /*dev*/, int /*kind*/,
                                      const std::string& /*signalId*/,
                                      const std::string& /*alarmId*/,
                                      const std::string& /*name*/,
                                      const std::string& /*valueText*/, bool /*active*/,
                                      unsigned short /*level*/) {}
    virtual bool onBatchCheckThreshold(const SMDVDevice& /*dev*/,
                                       const std::vector<rule_value>& /*rules*/) {
        return false;
    }
    virtual void onSaveDeviceHistory(const SMDVDevice& /*dev*/, const unsigned char* /*data*/,
                                     unsigned int /*length*/) {}
    // The host's generic control handler, for codes the device passes on.
    virtual int onDeviceIoControl(const SMDVDevice& /*dev*/, int /*code*/, const void* /*input*/,
                                  int /*inputLength*/, void* /*output*/, int /*outputCapacity*/,
                                  int& /*outputLength*/) {
        return 0;
    }
    // port is the configured device path (empty when none is set).
    virtual void onOpenPort(const SMDVDevice& /*dev*/, const std::string& /*port*/, bool /*ok*/) {}
    // function 6 (one register) or 16 (several); values as sent.
    virtual void onModbusWrite(const SMDVDevice& /*dev*/, int /*function*/, int /*address*/,
                               const std::vector<uint16_t>& /*values*/) {}
    // How one write request ended: status 0 = a valid reply went to the
    // device, a positive Modbus exception code, or a negative kModbus* value.
    // delivered is false when a later request had superseded this one, so
    // its outcome did not reach the device. Runs on the port thread, or on
    // the caller's thread when the request could not be sent.
    virtual void onModbusReply(const SMDVDevice& /*dev*/, int /*function*/, int /*address*/,
                               int /*status*/, bool /*delivered*/) {}
    // The same report with the reply's echo judged by the master: 1 it echoes
    // what was written (06: the value, 16: the count), 0 it does not, -1 no
    // valid reply. Hands on to onModbusReply unless overridden.
    virtual void onModbusOutcome(const SMDVDevice& dev, int function, int address, int status,
                                 bool delivered, int /*echo*/) {
        onModbusReply(dev, function, address, status, delivered);
    }
    // The request went on the line (its reply time starts); port thread.
    virtual void onModbusSent(const SMDVDevice& /*dev*/, int /*function*/, int /*address*/) {}
    // Bytes that arrived while no request waited for a reply, or that formed
    // no frame (noise, a fragment); dropped.
    virtual void onModbusStray(const SMDVDevice& /*dev*/, unsigned int /*bytes*/) {}
    // What the port found out about its line (an echoing adapter), one line.
    virtual void onSerialNote(const SMDVDevice& /*dev*/, const std::string& /*text*/) {}
};

constexpr int kModbusTimeout = -1;     // no complete reply in time
constexpr int kModbusBadFrame = -2;    // a frame that answers no request in flight
constexpr int kModbusSendFailed = -3;  // port not open, queue full or write failed
constexpr int kModbusPortLost = -4;    // the port failed or was closed meanwhile

// Installs the process-wide observer (nullptr removes it). The caller keeps
// ownership and must keep it alive while devices may call the host.
void setHostObserver(HostObserver* observer);
HostObserver* hostObserver();

}  // namespace smd
