// The plug-in's provider: the host asks it for new "plor_sps" devices.
#pragma once

#include <memory>
#include <vector>

#include "smd_host.h"

class PLOR_SPSProvider : public SMDSPDeviceProvider {
public:
    PLOR_SPSProvider() {}
    ~PLOR_SPSProvider() override {}
    SMDVDevice* create() const override;
};

// The host looks the entry point up by its plain name, so it has C linkage
// even though it returns a C++ type: host and plug-in share one C++ ABI.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// The type a host casts the looked-up symbol to.
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
