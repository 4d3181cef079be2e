// The closed host calls devices through its own vtable layout: every virtual
// operation must keep its slot. Under the Itanium C++ ABI a pointer to a
// virtual member function holds the byte offset of its slot, so the slots
// can be read back without calling anything. Generic targets mark a virtual
// pointer by ptr = 1 + offset; ARM and MIPS (function addresses may be odd
// there) keep ptr = offset and set the low bit of the this-adjustment.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "plor_sps.h"
#include "provider.h"

namespace {

struct PmfRepresentation {
    uintptr_t ptr;
    ptrdiff_t adj;
};

template <typename Pmf>
long slotOf(Pmf pmf) {
    static_assert(std::is_member_function_pointer<Pmf>::value, "member function pointer");
    static_assert(sizeof(Pmf) == sizeof(PmfRepresentation), "Itanium ABI member pointer");
    PmfRepresentation rep;
    std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__arm__) || defined(__aarch64__) || defined(__mips__)
    if (rep.adj != 1) return -1;  // not virtual, or not in the primary base
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if ((rep.ptr & 1u) == 0 || rep.adj != 0) return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

struct Slot {
    const char* name;
    long expected;
    long actual;
};

#define SLOT(cls, name, expected) Slot{#name, expected, slotOf(&cls::name)}
#define SLOT_AS(cls, name, type, expected) \
    Slot{#name, expected, slotOf(static_cast<type>(&cls::name))}

// Host order first, then what the template adds. The destructor has no
// member pointer; it takes slots 8 and 9 (complete and deleting).
template <typename Device>
void expectDeviceSlots() {
    using LoadText = bool (Device::*)(const std::string&);
    using LoadBytes = bool (Device::*)(const unsigned char*, int);
    const Slot slots[] = {
        SLOT(Device, Get_Value, 0),
        SLOT_AS(Device, LoadFromCache, LoadText, 1),
        SLOT_AS(Device, LoadFromCache, LoadBytes, 2),
        SLOT(Device, DataId, 3),
        SLOT(Device, DeviceType, 4),
        SLOT(Device, DeviceIoControl, 5),
        SLOT(Device, RoundDone, 6),
        SLOT(Device, UseControllerDb, 7),
        SLOT(Device, Reset, 10),
        SLOT(Device, InitV, 11),
        SLOT(Device, Init, 12),
        SLOT(Device, InitSetting, 13),
        SLOT(Device, IsSupportDevice, 14),
        SLOT(Device, GetChildVDevice, 15),
        SLOT(Device, GetAllChildVDevices, 16),
        SLOT(Device, SendSP, 17),
        SLOT(Device, SendDelayData, 18),
        SLOT(Device, SendDoData, 19),
        SLOT(Device, ReadDi, 20),
        SLOT(Device, ReadAi, 21),
        SLOT(Device, Get_SP_Value, 22),
        SLOT(Device, RefreshStatus, 23),
        SLOT(Device, process, 24),
        SLOT(Device, IsProcessing, 25),
        SLOT(Device, IsStalled, 26),
        SLOT(Device, SendData, 27),
        SLOT(Device, SendParityData, 28),
        SLOT(Device, OpenPort, 29),
        SLOT(Device, ClosePort, 30),
        SLOT(Device, process_payload, 31),
        SLOT(Device, on_error, 32),
        SLOT(Device, RunCheckThreshold, 33),
    };
    for (const Slot& s : slots) EXPECT_EQ(s.actual, s.expected) << s.name;
}

TEST(Abi, DeviceVirtualsKeepTheHostSlotOrder) {
    expectDeviceSlots<PLOR_SPS>();
    expectDeviceSlots<UniDataDevice<PLOR_SPS_Data_t, SPModbus, 5156>>();
}

TEST(Abi, HostClassesDeclareTheirVirtualsInOrder) {
    // Each host class on its own, so a move inside a base is named there.
    const Slot slots[] = {
        SLOT(VDeviceInterface, Get_Value, 0),
        SLOT(VDeviceInterface, DeviceIoControl, 5),
        SLOT(VDeviceInterface, UseControllerDb, 7),
        SLOT(VDeviceInterface, Reset, 10),
        SLOT(SMDVDevice, InitV, 11),
        SLOT(SMDVDevice, RefreshStatus, 23),
        SLOT(SMDSPDevice, process, 24),
        SLOT(SMDSPDevice, ClosePort, 30),
        SLOT(SPModbus, process_payload, 31),
        SLOT(SPModbus, on_error, 32),
        SLOT(SMDSPDeviceProvider, create, 2),  // after the two destructor slots
        SLOT(PLOR_SPSProvider, create, 2),
    };
    for (const Slot& s : slots) EXPECT_EQ(s.actual, s.expected) << s.name;
}

TEST(Abi, DecodesANonVirtualMemberAsSuch) {
    EXPECT_EQ(slotOf(&SMDVDevice::SaveDeviceHistory), -1);
    EXPECT_EQ(slotOf(&PLOR_SPS::getAd), -1);
}

}  // namespace
