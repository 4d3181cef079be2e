#include "plor_sps.h"

int PLOR_SPS::RefreshStatus() {
    SMDSPDevice::RefreshStatus();
    return 0;
}

void PLOR_SPS::fillRound(PLOR_SPS_Data_t& record) {
    if (!roundPending_) return;
    (void)record;
    roundPending_ = false;
}
