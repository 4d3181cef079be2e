// The plug-in boundary as a host sees it: the entry point, the provider and
// a newly created device.
#include <memory>

#include <gtest/gtest.h>

#include "json_doc.h"
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

TEST(Provider, CreatedDevicesAreIndependentAndStartInAlarmMode1) {
    plortest::RecordingHost host;
    std::unique_ptr<SMDVDevice> a, b;
    {
        auto providers = get_providers();
        auto* provider = dynamic_cast<SMDSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(provider, nullptr);
        a.reset(provider->create());
        b.reset(provider->create());
    }
    a->Init(std::weak_ptr<SMDController>(), 3, Json::Value());
    const Json::Value rules = plortest::json(R"({"thresholdSetting":{"r":{"ID":"1"}}})");
    {
        // Mode 1 reads no threshold rules.
        plortest::CoutCapture out;
        EXPECT_TRUE(b->InitSetting(rules));
        EXPECT_TRUE(out.lines().empty());
    }
    {
        plortest::CoutCapture out;
        a->InitSetting(plortest::json(R"({"appSetting":{"b_mode":3}})"));
        b->InitSetting(rules);
        EXPECT_EQ(out.lines(), (std::vector<std::string>{"InitSetting 3 b_mode_:3", "here 1"}));
    }
    std::string image(37, '\x11');
    {
        plortest::CoutCapture quiet;
        ASSERT_TRUE(a->LoadFromCache(image));
    }
    EXPECT_EQ(dynamic_cast<PLOR_SPS&>(*a).record().dataId, 3u);  // its own, not the cached one
    EXPECT_EQ(dynamic_cast<PLOR_SPS&>(*b).record().dataId, 0u);
    EXPECT_EQ(host.callsOf("SendSP").size(), 1u);
}

}  // namespace
