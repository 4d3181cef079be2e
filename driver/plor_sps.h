// The DC power-supply driver: one object per configured "plor_sps" device.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "board_io.h"
#include "plor_sps_data.h"
#include "round.h"
#include "smd_host.h"
#include "uni_data_device.h"

class __attribute__((visibility("default"))) PLOR_SPS
    : public UniDataDevice<PLOR_SPS_Data_t, SPModbus, 5156> {
public:
    PLOR_SPS();
    ~PLOR_SPS() override;

    double Get_Value(unsigned int id, const std::string& name) const override;
    int DeviceIoControl(int code, const void* input, int inputLength, void* output,
                        int outputCapacity, int& outputLength) override;
    bool InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process_payload(SPModbus::tab_type frame, unsigned int length) override;
    void RunCheckThreshold() override;

    // Samples one ADC channel through sysfs: the mean of ten samples without
    // the greatest and the least.
    int getAd(char channel);

    // Test seam: replaces the board (input paths, sysfs paths, sleeping).
    void setBoard(const plor::Board& board);

protected:
    void fillRound(PLOR_SPS_Data_t& record) override;

    // Calibration: two raw points and their values per channel, and the
    // gain and offset derived from them (value = gain * raw + offset).
    int32_t ai1x1_ = 0, ai1x2_ = 0;
    float ai1y1_ = 0.0f, ai1y2_ = 0.0f;
    int32_t ai2x1_ = 0, ai2x2_ = 0;
    float ai2y1_ = 0.0f, ai2y2_ = 0.0f;
    int32_t ai3x1_ = 0, ai3x2_ = 0;
    float ai3y1_ = 0.0f, ai3y2_ = 0.0f;
    int32_t ai4x1_ = 0, ai4x2_ = 0;
    float ai4y1_ = 0.0f, ai4y2_ = 0.0f;
    float a1_ = 0.0f, b1_ = 0.0f, a2_ = 0.0f, b2_ = 0.0f;
    float a3_ = 0.0f, b3_ = 0.0f, a4_ = 0.0f, b4_ = 0.0f;

    // Outcome of the last register write (-1 none yet, 1 confirmed, 3 not)
    // and the echo it must show; the port thread writes them too.
    std::atomic<int32_t> write_result_{-1};
    std::atomic<int32_t> write_expect_{-1};

    // Whole-degree temperature samples and their count; touched by refresh only.
    plor::TemperatureRing tempRing_;

    plor::Board board_;

    // Readings of the round in progress, written into the record together
    // with its time stamp.
    bool roundPending_ = false;
    bool roundTemperature_ = false;  // only some rounds set the temperature
    PLOR_SPS_Data_t roundValues_{};

    // The snapshot as text, and the round it was serialised for (none yet):
    // a query with no new round only copies it. Built apart from snapshot_,
    // whose address 803 hands out: a reader of that document cannot know
    // when another thread's 801 runs. Guarded by snapshotMutex_.
    Json::Value snapshotTextDoc_;
    std::string snapshotText_;
    uint64_t snapshotTextRound_ = UINT64_MAX;

    // Register writes reach the host one at a time, in the order they were
    // issued, so that the expectation armed last belongs to the request
    // submitted last. writeMutex_ is never held across a host call: a write
    // issued while another thread submits (or from inside a host callback)
    // is queued, and that thread submits it after its own.
    struct QueuedWrite {
        int code = 0;
        uint16_t address = 0;
        std::vector<unsigned short> values;
        int32_t expect = -1;
        uint64_t command = 0;
    };
    std::mutex writeMutex_;
    std::deque<QueuedWrite> writes_;
    bool submitting_ = false;
    uint64_t commands_ = 0;  // commands issued (206, 210, 310, 320)
    uint64_t armed_ = 0;     // the command whose reply may set the outcome

private:
    // One per control code; DeviceIoControl only picks.
    bool validCommand(int code, const void* input, int inputLength) const;
    void beginCommand(int code, QueuedWrite* write);
    void submitWrites(std::unique_lock<std::mutex>& lock);
    int prepareCommand(int code, const void* input, int inputLength);
    int writeRegister(const void* input, int inputLength);
    int writeRegisters(const void* input, int inputLength);
    int issueWrite(QueuedWrite& w);
    int jsonRequest(const void* input, int inputLength, void* output, int outputCapacity,
                    int& outputLength);
    int openRequest(const void* input, int inputLength, void* output, int outputCapacity,
                    int& outputLength);
    int snapshotAsText(void* output, int outputCapacity, int& outputLength);
    int snapshotByAddress(void* output, int outputCapacity, int& outputLength);
    int writeResultQuery(int code, const void* input, int inputLength, void* output,
                         int outputCapacity, int& outputLength);
    void fillSnapshot(Json::Value& doc) const;
};
