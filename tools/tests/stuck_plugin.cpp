// A plug-in for the host's own tests: its device with data id 2 never comes
// back from a refresh; 3 comes back at once with no round, saying so on
// standard output; 4 completes no round for its first 0.6 s; every other
// one completes a round at once.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "plor_sps_data.h"
#include "smd_host.h"
#include "uni_data_device.h"

namespace {

class StuckableDevice : public UniDataDevice<PLOR_SPS_Data_t, SPModbus, 5156> {
public:
    StuckableDevice() { deviceType_ = "plor_sps"; }
    int RefreshStatus() override {
        while (DataId() == 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (DataId() == 3) {
            std::printf("refresh without a round\n");
            std::fflush(stdout);
            return 0;
        }
        const auto now = std::chrono::steady_clock::now();
        if (first_ == std::chrono::steady_clock::time_point()) first_ = now;
        if (DataId() == 4 && now - first_ < std::chrono::milliseconds(600)) return 0;
        RoundDone();
        return 0;
    }
    int process_payload(SPModbus::tab_type, unsigned int) override { return 1; }

private:
    std::chrono::steady_clock::time_point first_{};
};

class StuckableProvider : public SMDSPDeviceProvider {
public:
    SMDVDevice* create() const override { return new StuckableDevice(); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers() {
    return {std::make_shared<StuckableProvider>()};
}
