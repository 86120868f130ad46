#include "PeImports.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <string_view>
#include <utility>

namespace verify {
namespace {

constexpr std::size_t kPeOffsetField = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr std::size_t kCoffHeaderSize = 20;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::size_t kSectionHeaderSize = 40;
// The two tables of DLL names: the size of a descriptor, where its name's address is, and
// whether it is a delay-load table (whose oldest form holds full addresses).
struct TableFormat {
    std::size_t descriptorSize;
    std::size_t nameField;
    bool delayed;
};
constexpr TableFormat kImportTable{20, 12, false};
constexpr TableFormat kDelayImportTable{32, 4, true};
constexpr std::uint32_t kImportDirectory = 1;
constexpr std::uint32_t kDelayImportDirectory = 13;
// More than any real image holds; a longer table is taken for a broken one.
constexpr std::size_t kMaxDescriptors = 4096;
constexpr std::size_t kMaxNameLength = 255;
// A delay descriptor whose addresses are relative to the image base (bit 0 of its attributes).
constexpr std::uint64_t kRvaBased = 1;
constexpr std::size_t kDelayDescriptorWords = 8;
constexpr std::uint64_t kOrdinalFlag32 = 0x80000000U;
constexpr std::uint64_t kOrdinalFlag64 = 0x8000000000000000ULL;

class Image {
public:
    explicit Image(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool Holds(std::size_t at, std::size_t size) const { return at <= bytes_.size() && size <= bytes_.size() - at; }

    // A little-endian field of up to eight bytes.
    std::optional<std::uint64_t> Read(std::size_t at, std::size_t width) const {
        if (!Holds(at, width)) return std::nullopt;
        std::uint64_t value = 0;
        for (std::size_t i = width; i > 0; --i) value = (value << 8U) | bytes_[at + i - 1];
        return value;
    }

    bool Load() {
        const auto pe = Read(kPeOffsetField, 4);
        if (!pe || Read(*pe, 4) != kPeSignature) return false;
        const std::size_t coff = static_cast<std::size_t>(*pe) + 4;
        const auto sections = Read(coff + 2, 2);
        const auto optionalSize = Read(coff + 16, 2);
        const std::size_t optional = coff + kCoffHeaderSize;
        const auto magic = Read(optional, 2);
        if (!sections || !optionalSize || !magic) return false;
        const bool plus = *magic == kMagicPe32Plus;
        if (!plus && *magic != kMagicPe32) return false;
        const auto base = plus ? Read(optional + 24, 8) : Read(optional + 28, 4);
        const std::size_t countAt = optional + (plus ? 108 : 92);
        const auto directories = Read(countAt, 4);
        if (!base || !directories) return false;
        imageBase_ = *base;
        plus_ = plus;
        directoryCount_ = *directories;
        directories_ = countAt + 4;
        sectionTable_ = optional + static_cast<std::size_t>(*optionalSize);
        sectionCount_ = static_cast<std::size_t>(*sections);
        return Holds(sectionTable_, sectionCount_ * kSectionHeaderSize);
    }

    // The file offset of an address inside the image, if a section holds it in the file.
    std::optional<std::size_t> Offset(std::uint64_t rva) const {
        for (std::size_t s = 0; s < sectionCount_; ++s) {
            const std::size_t header = sectionTable_ + s * kSectionHeaderSize;
            const auto address = Read(header + 12, 4);
            const auto rawSize = Read(header + 16, 4);
            const auto rawAt = Read(header + 20, 4);
            if (!address || !rawSize || !rawAt) return std::nullopt;
            if (rva >= *address && rva - *address < *rawSize) {
                const std::size_t at = static_cast<std::size_t>(*rawAt + (rva - *address));
                return at < bytes_.size() ? std::optional<std::size_t>(at) : std::nullopt;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> Name(std::uint64_t rva) const {
        const auto at = Offset(rva);
        if (!at) return std::nullopt;
        std::string name;
        for (std::size_t i = *at; i < bytes_.size() && name.size() <= kMaxNameLength; ++i) {
            const std::uint8_t c = bytes_[i];
            if (c == 0) return name.empty() ? std::nullopt : std::optional<std::string>(name);
            if (c < 0x20 || c > 0x7E) return std::nullopt;
            name.push_back(static_cast<char>(c));
        }
        return std::nullopt;
    }

    // The address of a data directory, 0 when the image has none; nullopt when unreadable.
    std::optional<std::uint64_t> Directory(std::uint32_t index) const {
        if (index >= directoryCount_) return 0;
        return Read(directories_ + std::size_t{index} * 8, 4);
    }

    std::uint64_t ImageBase() const { return imageBase_; }
    bool Plus() const { return plus_; }
    std::size_t SectionCount() const { return sectionCount_; }

    // Where section `s` lies in the file, clipped to the bytes there are.
    std::optional<std::pair<std::size_t, std::size_t>> RawSpan(std::size_t s) const {
        const std::size_t header = sectionTable_ + s * kSectionHeaderSize;
        const auto rawSize = Read(header + 16, 4);
        const auto rawAt = Read(header + 20, 4);
        if (!rawSize || !rawAt || *rawAt >= bytes_.size()) return std::nullopt;
        return std::make_pair(static_cast<std::size_t>(*rawAt),
                              std::min(static_cast<std::size_t>(*rawSize), bytes_.size() - *rawAt));
    }

    // Whether an address lies inside a section once the image is mapped (its zero-filled tail too).
    bool Maps(std::uint64_t rva) const {
        for (std::size_t s = 0; s < sectionCount_; ++s) {
            const std::size_t header = sectionTable_ + s * kSectionHeaderSize;
            const auto virtualSize = Read(header + 8, 4);
            const auto address = Read(header + 12, 4);
            const auto rawSize = Read(header + 16, 4);
            if (virtualSize && address && rawSize && rva >= *address && rva - *address < std::max(*virtualSize, *rawSize)) {
                return true;
            }
        }
        return false;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t imageBase_ = 0;
    bool plus_ = false;
    std::uint64_t directoryCount_ = 0;
    std::size_t directories_ = 0;
    std::size_t sectionTable_ = 0;
    std::size_t sectionCount_ = 0;
};

// Reads the names of a table of descriptors ended by an all-zero one; false when broken.
bool ReadTable(const Image& image, const TableFormat& format, std::uint64_t table, std::vector<std::string>& names) {
    if (table == 0) return true;
    const auto at = image.Offset(table);
    if (!at) return false;
    for (std::size_t d = 0; d < kMaxDescriptors; ++d) {
        const std::size_t descriptor = *at + d * format.descriptorSize;
        if (!image.Holds(descriptor, format.descriptorSize)) return false;
        bool allZero = true;
        for (std::size_t word = 0; word < format.descriptorSize; word += 4) {
            allZero = allZero && image.Read(descriptor + word, 4) == 0;
        }
        if (allZero) return true;
        // A delay descriptor's first field says whether its addresses are relative (bit 0);
        // the oldest ones hold full addresses.
        const std::uint64_t attributes = image.Read(descriptor, 4).value_or(0);
        std::uint64_t nameAddress = image.Read(descriptor + format.nameField, 4).value_or(0);
        if (format.delayed && (attributes & 1U) == 0) nameAddress -= image.ImageBase();
        const auto name = image.Name(nameAddress);
        if (!name) return false;
        names.push_back(*name);
    }
    return false;
}

bool NamesADll(const std::string& name) {
    constexpr std::string_view kSuffix = ".dll";
    if (name.size() <= kSuffix.size()) return false;
    return std::equal(kSuffix.begin(), kSuffix.end(), name.end() - static_cast<std::ptrdiff_t>(kSuffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// The DLL a relative delay descriptor at `at` names, when every field of it points where such a
// descriptor's fields do: its name, module handle and two tables inside the image, and the
// first entry of its name table naming a function or an ordinal.
std::optional<std::string> DelayDescriptorAt(const Image& image, std::size_t at) {
    std::array<std::uint64_t, kDelayDescriptorWords> word{};
    for (std::size_t i = 0; i < word.size(); ++i) word.at(i) = image.Read(at + 4 * i, 4).value_or(~0ULL);
    const auto [attributes, name, handle, addresses, names, bound, unload, stamp] = word;
    static_cast<void>(stamp);
    if (attributes != kRvaBased || !image.Maps(handle) || !image.Maps(addresses)) return std::nullopt;
    if ((bound != 0 && !image.Maps(bound)) || (unload != 0 && !image.Maps(unload))) return std::nullopt;
    const auto first = image.Offset(names);
    const auto entry = first ? image.Read(*first, image.Plus() ? 8 : 4) : std::nullopt;
    if (!entry || *entry == 0) return std::nullopt;
    if ((*entry & (image.Plus() ? kOrdinalFlag64 : kOrdinalFlag32)) == 0 && !image.Name(*entry + 2)) return std::nullopt;
    std::optional<std::string> dll = image.Name(name);
    return dll && NamesADll(*dll) ? dll : std::nullopt;
}

// mingw-w64's delay-load libraries put each DLL's descriptor among the code and leave the
// delay-import directory empty: the descriptors are found by what they hold.
void ScanDelayDescriptors(const Image& image, std::vector<std::string>& names) {
    for (std::size_t s = 0; s < image.SectionCount(); ++s) {
        const auto span = image.RawSpan(s);
        if (!span) continue;
        const auto [from, size] = *span;
        for (std::size_t at = (from + 3) & ~std::size_t{3}; at + 4 * kDelayDescriptorWords <= from + size; at += 4) {
            const std::optional<std::string> dll = DelayDescriptorAt(image, at);
            const auto same = [&dll](const std::string& known) {
                return std::equal(known.begin(), known.end(), dll->begin(), dll->end(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                });
            };
            if (dll && std::none_of(names.begin(), names.end(), same)) names.push_back(*dll);
        }
    }
}

}  // namespace

std::optional<std::vector<std::string>> ImportedDllNames(std::span<const std::uint8_t> bytes) {
    Image image(bytes);
    if (!image.Load()) return std::nullopt;
    const auto imports = image.Directory(kImportDirectory);
    const auto delayed = image.Directory(kDelayImportDirectory);
    std::vector<std::string> names;
    if (!imports || !delayed || !ReadTable(image, kImportTable, *imports, names) ||
        !ReadTable(image, kDelayImportTable, *delayed, names)) {
        return std::nullopt;
    }
    ScanDelayDescriptors(image, names);
    return names;
}

std::vector<std::string> OutsideKnownDlls(const std::vector<std::string>& imports, const std::vector<std::wstring>& known,
                                          const std::vector<std::wstring>& excluded) {
    std::vector<std::string> outside;
    const std::vector<std::string> apiSets = ApiSetNames(imports);
    for (const std::string& dll : imports) {
        std::wstring lower;
        for (const char c : dll) lower += static_cast<wchar_t>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == L"ntdll.dll" || std::find(apiSets.begin(), apiSets.end(), dll) != apiSets.end()) continue;
        const bool listed = std::find(known.begin(), known.end(), lower) != known.end() &&
                            std::find(excluded.begin(), excluded.end(), lower) == excluded.end();
        if (!listed) outside.push_back(dll);
    }
    return outside;
}

std::vector<std::string> ApiSetNames(const std::vector<std::string>& imports) {
    std::vector<std::string> apiSets;
    for (const std::string& dll : imports) {
        std::string lower;
        for (const char c : dll) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.rfind("api-", 0) == 0 || lower.rfind("ext-", 0) == 0) apiSets.push_back(dll);
    }
    return apiSets;
}

}  // namespace verify
