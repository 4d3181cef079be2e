#include "plugin_library.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <dlfcn.h>
#include <unistd.h>

namespace smdhost {

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
    using Fatal = std::runtime_error;
    if (::access(path.c_str(), F_OK) != 0) throw Fatal("plug-in '" + path + "' not found");
    if (::access(path.c_str(), R_OK) != 0)
        throw Fatal("plug-in '" + path + "' is not readable: " + std::strerror(errno));
    // A bare file name would send dlopen to the library search path.
    const std::string open = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = ::dlopen(open.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        throw Fatal("cannot load plug-in '" + path + "': " + (why ? why : "unknown error"));
    }
    ::dlerror();
    void* sym = ::dlsym(handle_, "get_providers");
    if (sym == nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
        throw Fatal("plug-in '" + path + "' has no get_providers entry point");
    }
    getProviders_ = reinterpret_cast<GetProviders>(sym);
}

PluginLibrary::~PluginLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
}

}  // namespace smdhost
