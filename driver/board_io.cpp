#include "board_io.h"

#include <unistd.h>

#include "plor_sps.h"

void plor::Board::realSleep(unsigned int microseconds) { ::usleep(microseconds); }

int PLOR_SPS::getAd(char /*channel*/) { return 0; }
