#include "plor_sps.h"

PLOR_SPS::PLOR_SPS() {
    deviceType_ = "plor_sps";
    baudRate_ = 9600;
    portFlag_ = 1;
}

// The host's port thread calls into this object; stop it while the whole
// object still stands.
PLOR_SPS::~PLOR_SPS() { SMDSPDevice::ClosePort(); }

void PLOR_SPS::setBoard(const plor::Board& board) {
    board_ = board;
    if (!board_.sleepUs) board_.sleepUs = plor::Board::realSleep;
}
