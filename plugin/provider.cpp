#include "provider.h"

#include <utility>

#include "plor_sps.h"

SMDVDevice* PLOR_SPSProvider::create() const { return new PLOR_SPS(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    std::shared_ptr<PLOR_SPSProvider> provider = std::make_shared<PLOR_SPSProvider>();
    providers.push_back(std::shared_ptr<Provider>(std::move(provider)));
    return providers;
}
