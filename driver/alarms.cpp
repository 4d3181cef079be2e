#include "plor_sps.h"

void PLOR_SPS::RunCheckThreshold() {}
