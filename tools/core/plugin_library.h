// The device plug-in, loaded from its file: what it offers and nothing more.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "smd_host.h"

namespace smdhost {

class PluginLibrary {
public:
    // Throws std::runtime_error with one line naming the file.
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    std::vector<std::shared_ptr<Provider>> providers() const { return getProviders_(); }
    const std::string& path() const { return path_; }

private:
    using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
    std::string path_;
    void* handle_ = nullptr;
    GetProviders getProviders_ = nullptr;
};

}  // namespace smdhost
