// The plug-in boundary as a host sees it: the entry point, the provider and
// a newly created device.
#include <memory>

#include <gtest/gtest.h>

#include "plor_sps.h"
#include "provider.h"
#include "test_support.h"

namespace {

TEST(Provider, GetProvidersGivesOneFreshProviderPerCall) {
    auto first = get_providers();
    auto second = get_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_NE(dynamic_cast<PLOR_SPSProvider*>(first[0].get()), nullptr);
    EXPECT_NE(first[0].get(), second[0].get());
}

TEST(Provider, DevicesOutliveTheirProvider) {
    std::unique_ptr<SMDVDevice> a, b;
    {
        auto providers = get_providers();
        auto* provider = dynamic_cast<SMDSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(provider, nullptr);
        a.reset(provider->create());
        b.reset(provider->create());
    }
    ASSERT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "plor_sps");
    auto* sps = dynamic_cast<PLOR_SPS*>(a.get());
    ASSERT_NE(sps, nullptr);
    const PLOR_SPS_Data_t rec = sps->record();
    const auto* bytes = reinterpret_cast<const unsigned char*>(&rec);
    for (size_t i = 0; i < sizeof rec; ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

}  // namespace
