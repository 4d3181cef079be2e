#include <iostream>

#include "plor_sps.h"

int PLOR_SPS::DeviceIoControl(int code, const void* input, int inputLength, void* output,
                              int outputCapacity, int& outputLength) {
    std::cout << "PLOR_SPS::DeviceIoControl " << code << std::endl;
    return SMDVDevice::DeviceIoControl(code, input, inputLength, output, outputCapacity,
                                       outputLength);
}

int PLOR_SPS::process_payload(SPModbus::tab_type, unsigned int) { return 1; }

double PLOR_SPS::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}
