// Modbus RTU framing for the stand-in host's master: request frames for
// functions 06 and 16 and the checks a master applies to a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace smd {
namespace rtu {

constexpr int kReadHolding = 3;
constexpr int kWriteSingle = 6;
constexpr int kWriteMultiple = 16;
// One function 16 request carries at most this many registers.
constexpr int kMaxWriteRegisters = 123;

// CRC-16 as RTU frames carry it (reflected 0xA001, start 0xFFFF), sent low
// byte first.
uint16_t crc16(const uint8_t* data, size_t length);

// Complete request frames, CRC appended.
std::vector<uint8_t> writeSingle(uint8_t slave, uint16_t address, uint16_t value);
std::vector<uint8_t> writeMultiple(uint8_t slave, uint16_t address, const uint16_t* values,
                                   size_t count);

enum class Check {
    ok,
    tooShort,
    badCrc,
    wrongSlave,
    wrongFunction,
    badLength,
    exception,
    wrongAddress
};

struct Reply {
    Check check = Check::tooShort;
    int function = 0;       // function byte as received, exception bit included
    int exceptionCode = 0;  // for Check::exception
    int address = -1;       // register (06) or start register (16) the echo names
    uint16_t words[2] = {0, 0};
    int wordCount = 0;
};

// Checks a reply to a 06 or 16 request as a master must: CRC first, then
// the slave address, the function (expectedFunction 0 takes either), the
// length and exception replies, then the register the echo names
// (expectedAddress -1 takes any): an echo for another register answers
// some other request. On ok, a 06 reply gives one word (the echoed value)
// and a 16 reply two (16 and the echoed quantity); a value or quantity that
// differs from the request is the caller's to judge.
Reply checkReply(const uint8_t* frame, size_t length, int slave, int expectedFunction,
                 int expectedAddress = -1);

// A read of holding registers (03), which the line's echo probe sends.
std::vector<uint8_t> readHolding(uint8_t slave, uint16_t address, uint16_t count);

// The length of a whole reply to a 06, 16 or 03 request that starts with
// these bytes: 5 for an exception, 8 for a write, 5 + the byte count for a
// read (0 while the bytes that tell are still to come).
size_t replyLength(const uint8_t* frame, size_t length);

// Whether the bytes can be a frame at all: long enough and the CRC holds.
bool isFrame(const uint8_t* frame, size_t length);

}  // namespace rtu
}  // namespace smd
