#include "modbus_rtu.h"

namespace smd {
namespace rtu {

uint16_t crc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

namespace {

void putWord(std::vector<uint8_t>& out, uint16_t w) {
    out.push_back(static_cast<uint8_t>(w >> 8));
    out.push_back(static_cast<uint8_t>(w & 0xFF));
}

void appendCrc(std::vector<uint8_t>& out) {
    const uint16_t crc = crc16(out.data(), out.size());
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
}

uint16_t wordAt(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

}  // namespace

std::vector<uint8_t> writeSingle(uint8_t slave, uint16_t address, uint16_t value) {
    std::vector<uint8_t> out{slave, static_cast<uint8_t>(kWriteSingle)};
    putWord(out, address);
    putWord(out, value);
    appendCrc(out);
    return out;
}

std::vector<uint8_t> writeMultiple(uint8_t slave, uint16_t address, const uint16_t* values,
                                   size_t count) {
    std::vector<uint8_t> out{slave, static_cast<uint8_t>(kWriteMultiple)};
    putWord(out, address);
    putWord(out, static_cast<uint16_t>(count));
    out.push_back(static_cast<uint8_t>(2 * count));
    for (size_t i = 0; i < count; ++i) putWord(out, values[i]);
    appendCrc(out);
    return out;
}

size_t replyLength(const uint8_t* frame, size_t length) {
    if (frame == nullptr || length < 2) return 0;
    if (frame[1] & 0x80) return 5;
    if (frame[1] == kReadHolding) return length < 3 ? 0 : 5u + frame[2];
    return 8;
}

std::vector<uint8_t> readHolding(uint8_t slave, uint16_t address, uint16_t count) {
    std::vector<uint8_t> out{slave, static_cast<uint8_t>(kReadHolding)};
    putWord(out, address);
    putWord(out, count);
    appendCrc(out);
    return out;
}

bool isFrame(const uint8_t* frame, size_t length) {
    if (frame == nullptr || length < 4) return false;
    const uint16_t crc = static_cast<uint16_t>(frame[length - 2] | (frame[length - 1] << 8));
    return crc16(frame, length - 2) == crc;
}

Reply checkReply(const uint8_t* frame, size_t length, int slave, int expectedFunction,
                 int expectedAddress) {
    Reply r;
    if (frame == nullptr || length < 4) return r;
    r.function = frame[1];
    if (!isFrame(frame, length)) {
        r.check = Check::badCrc;
        return r;
    }
    if (frame[0] != slave) {
        r.check = Check::wrongSlave;
        return r;
    }
    const int base = frame[1] & 0x7F;
    const bool known = base == kWriteSingle || base == kWriteMultiple;
    if (!known || (expectedFunction != 0 && base != expectedFunction)) {
        r.check = Check::wrongFunction;
        return r;
    }
    if (frame[1] & 0x80) {
        if (length != 5) {
            r.check = Check::badLength;
            return r;
        }
        r.check = Check::exception;
        r.exceptionCode = frame[2];
        return r;
    }
    if (length != 8) {
        r.check = Check::badLength;
        return r;
    }
    r.address = wordAt(frame + 2);
    if (expectedAddress >= 0 && r.address != expectedAddress) {
        r.check = Check::wrongAddress;
        return r;
    }
    if (base == kWriteSingle) {
        r.words[0] = wordAt(frame + 4);
        r.wordCount = 1;
    } else {
        r.words[0] = static_cast<uint16_t>(kWriteMultiple);
        r.words[1] = wordAt(frame + 4);
        r.wordCount = 2;
    }
    r.check = Check::ok;
    return r;
}

}  // namespace rtu
}  // namespace smd
