// The deployable plor_sps.so as a host meets it: loaded with dlopen into a
// process that provides the host classes, and its dynamic symbol table.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_doc.h"
#include "provider.h"
#include "test_support.h"

namespace {

using plortest::CoutCapture;
using plortest::json;
using Lines = std::vector<std::string>;

// --- dynamic section and dynamic symbols of an ELF file ---------------------

struct DynSymbol {
    std::string name;
    bool defined = false;
    unsigned bind = 0;
    unsigned visibility = 0;
};

struct DynInfo {
    std::vector<DynSymbol> symbols;
    std::vector<std::string> needed;
};

class ElfFile {
public:
    explicit ElfFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot open " + path);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (bytes_.size() < EI_NIDENT || std::memcmp(bytes_.data(), ELFMAG, SELFMAG) != 0) {
            throw std::runtime_error(path + " is not ELF");
        }
        if (bytes_[EI_DATA] != ELFDATA2LSB) throw std::runtime_error("not little-endian");
    }

    DynInfo read() const {
        switch (bytes_[EI_CLASS]) {
            case ELFCLASS32: return readAs<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>();
            case ELFCLASS64: return readAs<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>();
            default: throw std::runtime_error("unknown ELF class");
        }
    }

private:
    // Structures are read as stored: the tests only run on little-endian
    // machines (checked below), the file is checked to be little-endian.
    template <typename T>
    T at(uint64_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
            throw std::runtime_error("ELF read out of bounds");
        }
        T out;
        std::memcpy(&out, bytes_.data() + offset, sizeof out);
        return out;
    }

    std::string stringAt(uint64_t tableOffset, uint64_t tableSize, uint64_t index) const {
        if (index >= tableSize || tableOffset + tableSize > bytes_.size()) {
            throw std::runtime_error("ELF string out of bounds");
        }
        const char* start = bytes_.data() + tableOffset + index;
        return std::string(start, strnlen(start, tableSize - index));
    }

    template <typename Ehdr, typename Shdr, typename Sym, typename Dyn>
    DynInfo readAs() const {
        const Ehdr eh = at<Ehdr>(0);
        std::vector<Shdr> sections;
        for (unsigned i = 0; i < eh.e_shnum; ++i) {
            sections.push_back(at<Shdr>(eh.e_shoff + uint64_t{i} * eh.e_shentsize));
        }
        DynInfo info;
        for (const Shdr& sh : sections) {
            if (sh.sh_type != SHT_DYNSYM && sh.sh_type != SHT_DYNAMIC) continue;
            if (sh.sh_link >= sections.size()) throw std::runtime_error("bad sh_link");
            const Shdr& strtab = sections[sh.sh_link];
            if (sh.sh_type == SHT_DYNSYM) {
                for (uint64_t off = sizeof(Sym); off + sizeof(Sym) <= sh.sh_size; off += sizeof(Sym)) {
                    const Sym s = at<Sym>(sh.sh_offset + off);
                    DynSymbol d;
                    d.name = stringAt(strtab.sh_offset, strtab.sh_size, s.st_name);
                    d.defined = s.st_shndx != SHN_UNDEF;
                    d.bind = s.st_info >> 4;
                    d.visibility = s.st_other & 0x3;
                    info.symbols.push_back(d);
                }
            } else {
                for (uint64_t off = 0; off + sizeof(Dyn) <= sh.sh_size; off += sizeof(Dyn)) {
                    const Dyn d = at<Dyn>(sh.sh_offset + off);
                    if (d.d_tag == DT_NULL) break;
                    if (d.d_tag == DT_NEEDED) {
                        info.needed.push_back(stringAt(strtab.sh_offset, strtab.sh_size, d.d_un.d_val));
                    }
                }
            }
        }
        return info;
    }

    std::vector<char> bytes_;
};

std::string demangle(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> out(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
    return status == 0 && out ? std::string(out.get()) : name;
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool littleEndianHost() {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

TEST(Module, ExportsOnlyTheEntryPointAndTheDriverClass) {
    ASSERT_TRUE(littleEndianHost());
    const DynInfo info = ElfFile(PLOR_SPS_MODULE).read();

    std::vector<std::string> exported;
    for (const DynSymbol& s : info.symbols) {
        if (s.defined && s.bind != STB_LOCAL && !s.name.empty() &&
            (s.visibility == STV_DEFAULT || s.visibility == STV_PROTECTED)) {
            exported.push_back(demangle(s.name));
        }
    }
    ASSERT_FALSE(exported.empty());
    bool entry = false;
    for (const std::string& name : exported) {
        SCOPED_TRACE(name);
        if (name == "get_providers") {
            entry = true;
            continue;
        }
        // The host's operations on the class, nothing a test or the driver
        // uses inside (setBoard would let any caller move the input paths).
        const std::string member = name.substr(0, name.find('('));
        const bool ours = member == "PLOR_SPS::PLOR_SPS" || member == "PLOR_SPS::~PLOR_SPS" ||
                          member == "PLOR_SPS::Get_Value" || member == "PLOR_SPS::DeviceIoControl" ||
                          member == "PLOR_SPS::InitSetting" || member == "PLOR_SPS::RefreshStatus" ||
                          member == "PLOR_SPS::process_payload" ||
                          member == "PLOR_SPS::RunCheckThreshold" || member == "PLOR_SPS::getAd" ||
                          name == "vtable for PLOR_SPS" || name == "typeinfo for PLOR_SPS" ||
                          name == "typeinfo name for PLOR_SPS";
        EXPECT_TRUE(ours);
        // Library code compiled into the module must stay inside it.
        std::string entity = name;
        for (const char* prefix : {"vtable for ", "typeinfo for ", "typeinfo name for ",
                                   "guard variable for ", "VTT for "}) {
            if (startsWith(entity, prefix)) entity = entity.substr(std::strlen(prefix));
        }
        for (const char* library : {"Json::", "boost::", "std::", "__gnu_cxx::"}) {
            EXPECT_FALSE(startsWith(entity, library)) << library;
        }
    }
    EXPECT_TRUE(entry) << "get_providers must be exported under its plain name";

    const std::vector<std::string> members = {
        "PLOR_SPS::PLOR_SPS()", "PLOR_SPS::~PLOR_SPS()", "PLOR_SPS::InitSetting(Json::Value const&)",
        "PLOR_SPS::RefreshStatus()", "PLOR_SPS::RunCheckThreshold()", "PLOR_SPS::getAd(char)",
        "PLOR_SPS::DeviceIoControl(int, void const*, int, void*, int, int&)",
        "PLOR_SPS::process_payload(unsigned char const*, unsigned int)", "vtable for PLOR_SPS"};
    for (const std::string& m : members) {
        EXPECT_NE(std::find(exported.begin(), exported.end(), m), exported.end()) << m;
    }
}

TEST(Module, LeavesHostSymbolsToTheLoadingProcess) {
    const DynInfo info = ElfFile(PLOR_SPS_MODULE).read();
    for (const std::string& lib : info.needed) {
        EXPECT_EQ(lib.find("smd_host"), std::string::npos) << lib;
    }
    bool sendSpUndefined = false;
    for (const DynSymbol& s : info.symbols) {
        if (demangle(s.name) == "SMDVDevice::SendSP(int, unsigned char const*, unsigned int, bool)") {
            sendSpUndefined = !s.defined;
        }
    }
    EXPECT_TRUE(sendSpUndefined);
}

// --- loading ----------------------------------------------------------------

class LoadedModule {
public:
    LoadedModule() : handle_(dlopen(PLOR_SPS_MODULE, RTLD_NOW | RTLD_LOCAL)) {}
    ~LoadedModule() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    void* handle() const { return handle_; }

    GetProvidersFn entry() const {
        void* symbol = dlsym(handle_, "get_providers");
        GetProvidersFn fn = nullptr;
        static_assert(sizeof fn == sizeof symbol, "function and data pointers alike");
        std::memcpy(&fn, &symbol, sizeof fn);
        return fn;
    }

private:
    void* handle_;
};

TEST(Module, LoadsAndMakesWorkingDevices) {
    plortest::RecordingHost host;
    LoadedModule module;
    ASSERT_NE(module.handle(), nullptr) << dlerror();
    const GetProvidersFn getProviders = module.entry();
    ASSERT_NE(getProviders, nullptr);

    std::unique_ptr<SMDVDevice> a, b;
    {
        auto providers = getProviders();
        auto again = getProviders();
        ASSERT_EQ(providers.size(), 1u);
        ASSERT_EQ(again.size(), 1u);
        EXPECT_NE(providers[0].get(), again[0].get());
        auto* provider = dynamic_cast<SMDSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(provider, nullptr);
        a.reset(provider->create());
        b.reset(provider->create());
    }
    // The providers are gone; the devices stand on their own.
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a.get(), b.get());
    EXPECT_EQ(a->DeviceType(), "plor_sps");
    EXPECT_TRUE(a->IsSupportDevice("plor_sps"));
    EXPECT_THROW(a->Get_Value(0, "直流电压"), std::out_of_range);

    a->Init(std::weak_ptr<SMDController>(), 9, Json::Value());
    {
        CoutCapture out;
        EXPECT_TRUE(a->InitSetting(json(R"({"appSetting":{
            "ai3x1":100,"ai3x2":900,"ai3y1":0,"ai3y2":60,"b_mode":3}})")));
        EXPECT_EQ(out.lines(), (Lines{"ai3y2_:60 ai3y1_:0 ai3x2_:900 ai3x1_:100",
                                      "InitSetting 9 b_mode_:3", "here 1"}));
    }

    std::string image(37, '\0');
    image[12] = '\x00', image[13] = '\x00', image[14] = '\x56', image[15] = '\x42';
    image[30] = '\xE9', image[31] = '\x07', image[32] = 6, image[33] = 1, image[34] = 12;
    {
        CoutCapture quiet;
        EXPECT_FALSE(a->LoadFromCache(image.substr(1)));
        EXPECT_TRUE(a->LoadFromCache(image));
    }
    const auto sent = host.callsOf("SendSP");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].code, 5156);
    EXPECT_EQ(plortest::hex(sent[0].image, 12, 4), "00 00 56 42");
    EXPECT_EQ(host.callsOf("History").size(), 1u);

    // The snapshot formats the round's time with a string stream, whose
    // constructor a board build compiles into the module itself.
    char text[512];
    int length = 0;
    {
        CoutCapture quiet;
        ASSERT_EQ(a->DeviceIoControl(801, nullptr, 0, text, sizeof text, length), 0);
    }
    const std::string snapshot(text, static_cast<size_t>(length));
    EXPECT_TRUE(std::regex_search(snapshot, std::regex(R"(:53\.5\b)"))) << snapshot;
    EXPECT_TRUE(std::regex_search(snapshot, std::regex(R"("\d{4}-\d{1,2}-\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}")")))
        << snapshot;

    // The second device shares none of it.
    EXPECT_EQ(b->DataId(), 0u);
    host.clear();
    {
        CoutCapture out;
        EXPECT_TRUE(b->InitSetting(json(R"({"thresholdSetting":{"r":{}}})")));
        EXPECT_EQ(out.lines(), Lines{});
    }

    a.reset();
    b.reset();
}

}  // namespace
