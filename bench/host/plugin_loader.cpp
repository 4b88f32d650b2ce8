#include "plugin_loader.h"

#include "text.h"

#include <cstring>
#include <sstream>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace fs = std::filesystem;

namespace navhost {

// ---- Module images ----

#if defined(_WIN32)

ModuleImage ModuleImage::containing(const void* address) {
    ModuleImage image;
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return image;
    const uintptr_t base = reinterpret_cast<uintptr_t>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    image.ranges_.push_back(std::make_pair(base, base + nt->OptionalHeader.SizeOfImage));
    return image;
}

#else

namespace {

struct ImageSearch {
    uintptr_t address;
    std::vector<std::pair<uintptr_t, uintptr_t> >* ranges;
};

int collectSegments(dl_phdr_info* info, size_t, void* data) {
    ImageSearch* search = static_cast<ImageSearch*>(data);
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& h = info->dlpi_phdr[i];
        const uintptr_t begin = info->dlpi_addr + h.p_vaddr;
        if (h.p_type == PT_LOAD && search->address >= begin && search->address < begin + h.p_memsz)
            holds = true;
    }
    if (!holds)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& h = info->dlpi_phdr[i];
        if (h.p_type == PT_LOAD && (h.p_flags & PF_R) != 0) {
            const uintptr_t begin = info->dlpi_addr + h.p_vaddr;
            search->ranges->push_back(std::make_pair(begin, begin + h.p_memsz));
        }
    }
    return 1;
}

} // namespace

ModuleImage ModuleImage::containing(const void* address) {
    ModuleImage image;
    ImageSearch search = {reinterpret_cast<uintptr_t>(address), &image.ranges_};
    dl_iterate_phdr(&collectSegments, &search);
    return image;
}

#endif

bool ModuleImage::contains(const void* p, size_t size) const {
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    for (const auto& range : ranges_)
        if (begin >= range.first && begin < range.second && size <= range.second - begin)
            return true;
    return false;
}

// ---- Loading ----

// ---- Descriptor checks ----

namespace {

// The longest name or maker the host accepts, in code units.
const size_t kMaxTextUnits = 256;

// Reads the wide string at S, which must lie wholly in IMAGE and be
// printable text. Returns an empty string and sets PROBLEM otherwise.
std::string readText(const WideChar* s, const ModuleImage& image, const char* what,
                     std::string& problem) {
    if (s == nullptr) {
        problem = std::string(what) + " is a null pointer";
        return "";
    }
    WideString text;
    for (;;) {
        if (!image.contains(s + text.size(), sizeof(WideChar))) {
            problem = std::string(what) + " does not point to a terminated string in the library";
            return "";
        }
        const WideChar c = s[text.size()];
        if (c == 0)
            break;
        if (text.size() == kMaxTextUnits) {
            problem = std::string(what) + " is longer than " + std::to_string(kMaxTextUnits) +
                      " characters";
            return "";
        }
        text += c;
    }
    if (text.empty()) {
        problem = std::string(what) + " is empty";
        return "";
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const uint16_t c = static_cast<uint16_t>(text[i]);
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        const bool paired = high && i + 1 < text.size() &&
                            static_cast<uint16_t>(text[i + 1]) >= 0xDC00 &&
                            static_cast<uint16_t>(text[i + 1]) <= 0xDFFF;
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0xFFFE || c == 0xFFFF || low ||
            (high && !paired)) {
            problem = std::string(what) + " is not text (code unit " + std::to_string(c) + " at " +
                      std::to_string(i) + ")";
            return "";
        }
        if (paired)
            ++i;
    }
    return wideToUtf8(text);
}

template <typename Fn> const void* address(Fn fn) {
    return reinterpret_cast<const void*>(fn);
}

// Slots 8 to 15 as addresses.
const void* entryAt(const PluginDescriptor* d, int slot) {
    switch (slot) {
    case 8:
        return address(d->init);
    case 9:
        return address(d->deInit);
    case 10:
        return address(d->start);
    case 11:
        return address(d->stop);
    case 12:
        return address(d->unused12);
    case 13:
        return address(d->unused13);
    case 14:
        return address(d->gpsData.getPosition);
    default:
        return address(d->getSatellites);
    }
}

std::string slotText(int slot) {
    return "slot " + std::to_string(slot);
}

void expectValue(std::vector<std::string>& problems, int slot, int32_t value, int32_t expected) {
    if (value != expected)
        problems.push_back(slotText(slot) + " holds " + std::to_string(value) + ", expected " +
                           std::to_string(expected));
}

} // namespace

const char* entryName(int slot, int32_t kind) {
    switch (slot) {
    case 8:
        return "PluginInit";
    case 9:
        return "PluginDeInit";
    case 10:
        return "PluginStart";
    case 11:
        return "PluginStop";
    case 14:
        return kind == PLUGIN_KIND_SUPPLIES_GPS ? "PluginGetPosition" : "PluginSetGPSData";
    case 15:
        return "PluginGetSatellites";
    default:
        return "(not provided)";
    }
}

namespace {

// The entry slots: those the plugin's kind needs present, the others null,
// and each one inside the library.
void checkEntries(std::vector<std::string>& problems, const PluginDescriptor* d,
                  const ModuleImage& image) {
    const bool recorder = d->kind == PLUGIN_KIND_RECEIVES_GPS;
    const bool provider = d->kind == PLUGIN_KIND_SUPPLIES_GPS;
    for (int slot = 8; slot <= 15; ++slot) {
        const void* entry = entryAt(d, slot);
        const bool wanted = slot <= 11 || slot == 14 || (slot == 15 && provider);
        if (slot == 15 && !recorder && !provider)
            continue; // unknown kind: already reported
        if (wanted && entry == nullptr)
            problems.push_back(slotText(slot) + " (" + entryName(slot, d->kind) + ") is missing");
        else if (!wanted && entry != nullptr)
            problems.push_back(slotText(slot) + " must be null" +
                               (slot == 15 ? " for a plugin of kind 4" : ""));
        else if (entry != nullptr && !image.contains(entry, 1))
            problems.push_back(slotText(slot) + " (" + entryName(slot, d->kind) +
                               ") points outside the library");
    }
}

} // namespace

DescriptorReport checkDescriptor(const PluginDescriptor* d, const ModuleImage& image) {
    DescriptorReport report;
    std::vector<std::string>& problems = report.problems;
    if (d == nullptr) {
        problems.push_back(std::string(PLUGIN_ENTRY_NAME) + " returned a null descriptor");
        return report;
    }
    if (!image.contains(d, sizeof *d)) {
        problems.push_back(std::string(PLUGIN_ENTRY_NAME) +
                           " returned a descriptor that does not lie in the library");
        return report;
    }
    report.descriptor = d;

    expectValue(problems, 0, d->interfaceVersion, PLUGIN_INTERFACE_VERSION);
    expectValue(problems, 1, d->reserved1, -1);
    const bool recorder = d->kind == PLUGIN_KIND_RECEIVES_GPS;
    const bool provider = d->kind == PLUGIN_KIND_SUPPLIES_GPS;
    if (!recorder && !provider)
        problems.push_back(slotText(2) + " holds kind " + std::to_string(d->kind) +
                           ", expected 4 (receives GPS data) or 16 (supplies GPS data)");

    std::string problem;
    report.name = readText(d->name, image, "slot 4 (name)", problem);
    if (!problem.empty())
        problems.push_back(problem);
    problem.clear();
    report.maker = readText(d->maker, image, "slot 5 (maker)", problem);
    if (!problem.empty())
        problems.push_back(problem);
    if (d->makerAgain != d->maker)
        problems.push_back("slot 6 does not hold the same maker pointer as slot 5");
    expectValue(problems, 7, d->reserved7, 0);

    checkEntries(problems, d, image);
    return report;
}

DescriptorReport inspectDescriptor(PluginPreInitFn entry) {
    const ModuleImage image = ModuleImage::containing(address(entry));
    const PluginDescriptor* first = entry();
    DescriptorReport report = checkDescriptor(first, image);
    if (report.descriptor == nullptr)
        return report;
    unsigned char before[sizeof(PluginDescriptor)];
    std::memcpy(before, first, sizeof before);
    const PluginDescriptor* second = entry();
    if (second != first)
        report.problems.push_back(std::string("a second call of ") + PLUGIN_ENTRY_NAME +
                                  " returned another descriptor");
    else if (std::memcmp(before, second, sizeof before) != 0)
        report.problems.push_back(std::string("a second call of ") + PLUGIN_ENTRY_NAME +
                                  " changed the descriptor");
    return report;
}

std::string describeDescriptor(const DescriptorReport& report) {
    std::ostringstream out;
    const PluginDescriptor* d = report.descriptor;
    if (d == nullptr)
        return "";
    const char* kindText = d->kind == PLUGIN_KIND_RECEIVES_GPS   ? " (receives GPS data)"
                           : d->kind == PLUGIN_KIND_SUPPLIES_GPS ? " (supplies GPS data)"
                                                                 : " (unknown)";
    out << "interface: " << d->interfaceVersion << "\n"
        << "kind:      " << d->kind << kindText << "\n"
        << "number:    " << d->number << "\n"
        << "name:      " << (report.name.empty() ? "(unreadable)" : report.name) << "\n"
        << "maker:     " << (report.maker.empty() ? "(unreadable)" : report.maker) << "\n"
        << "entries:\n";
    for (int slot = 8; slot <= 15; ++slot)
        out << "  " << (slot < 10 ? " " : "") << slot << " " << entryName(slot, d->kind)
            << std::string(22 - std::strlen(entryName(slot, d->kind)), ' ')
            << (entryAt(d, slot) != nullptr ? "present" : "null") << "\n";
    return out.str();
}

} // namespace navhost
