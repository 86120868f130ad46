#include <windows.h>

#include <evntprov.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string>

#include "platform/TraceProvider.h"
#include "platform/Tracing.h"
#include "platform/win32/Win32Platform.h"

// The launcher's events are TraceLogging events: each carries its own decoding information
// (the provider's name, the event's name, each field's name and type), so tools built on TDH
// (tracerpt's XML and CSV among them) decode them without a manifest installed. mingw-w64 has no
// TraceLoggingProvider.h; the layout written here is the encoding that header documents:
// provider metadata {UINT16 size; name, NUL}, event metadata {UINT16 size; tag byte; name, NUL;
// per field: name, NUL, InType}, and the field values end to end, strings NUL-terminated.
namespace platform::win32 {
namespace {

constexpr ULONG kEventProviderSetTraits = 2;       // EVENT_INFO_CLASS
constexpr UCHAR kChannelTraceLogging = 11;         // WINEVENT_CHANNEL_TRACELOGGING
constexpr ULONG kDescriptorEventMetadata = 1;      // EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA
constexpr ULONG kDescriptorProviderMetadata = 2;   // EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA

// TraceLogging InTypes.
constexpr std::uint8_t kInUnicodeString = 1;
constexpr std::uint8_t kInAnsiString = 2;
constexpr std::uint8_t kInUInt32 = 8;
constexpr std::uint8_t kInUInt64 = 10;
constexpr std::uint8_t kInHexInt32 = 20;

// Texts are cut to this many units, so that every event stays well inside ETW's 64 KiB.
constexpr std::size_t kMaxTextUnits = 2048;
constexpr std::size_t kMetadataBytes = 1024;
constexpr std::size_t kDataBytes = 32768;

// Both kinds of metadata start with their own length as a little-endian UINT16.
constexpr std::size_t kLowByte = 0xFFu;
constexpr unsigned kByteBits = 8;

constexpr std::size_t kTraitsSize = 2 + kTraceProviderName.size() + 1;
using Traits = std::array<char, kTraitsSize>;

constexpr Traits MakeTraits() {
    Traits traits{};
    traits[0] = static_cast<char>(kTraitsSize & kLowByte);
    traits[1] = static_cast<char>(kTraitsSize >> kByteBits);
    for (std::size_t i = 0; i < kTraceProviderName.size(); ++i) traits.at(2 + i) = kTraceProviderName[i];
    return traits;
}
constexpr Traits kTraits = MakeTraits();

// Bytes appended up to a fixed capacity; once one does not fit, the whole event is dropped.
template <std::size_t Capacity>
class Bytes {
public:
    void Put(const void* data, std::size_t size) {
        if (!fits_ || size > Capacity - used_) {
            fits_ = false;
            return;
        }
        std::memcpy(buffer_.data() + used_, data, size);
        used_ += size;
    }
    void PutByte(std::uint8_t byte) { Put(&byte, 1); }
    void PutText(std::string_view text) {
        Put(text.data(), std::min(text.find('\0'), std::min(text.size(), kMaxTextUnits)));
        PutByte(0);
    }
    void PutWide(std::u16string_view text) {
        const std::size_t units = std::min(text.find(u'\0'), std::min(text.size(), kMaxTextUnits));
        Put(text.data(), units * sizeof(char16_t));
        const char16_t end = 0;
        Put(&end, sizeof end);
    }
    void SetSize16() {   // the metadata's leading UINT16 holds its own length
        if (!fits_) return;
        buffer_[0] = static_cast<std::uint8_t>(used_ & kLowByte);
        buffer_[1] = static_cast<std::uint8_t>(used_ >> kByteBits);
    }
    bool Fits() const { return fits_; }
    EVENT_DATA_DESCRIPTOR Descriptor(ULONG type) const {
        EVENT_DATA_DESCRIPTOR descriptor{};
        descriptor.Ptr = reinterpret_cast<ULONGLONG>(buffer_.data());   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
        descriptor.Size = static_cast<ULONG>(used_);
        descriptor.Reserved = type;   // the low byte is the descriptor's Type
        return descriptor;
    }

private:
    std::array<std::uint8_t, Capacity> buffer_{};
    std::size_t used_ = 0;
    bool fits_ = true;
};

std::uint8_t InType(TraceField::Kind kind) {
    switch (kind) {
        case TraceField::Kind::Text: return kInAnsiString;
        case TraceField::Kind::WideText:
        case TraceField::Kind::Path: return kInUnicodeString;
        case TraceField::Kind::Number: return kInUInt32;
        case TraceField::Kind::Hex: return kInHexInt32;
        case TraceField::Kind::Size: return kInUInt64;
    }
    return kInUInt32;
}

// Formats and writes one event once a session wants it. Kept out of line: its buffers (some
// 33 KiB) would otherwise be reserved, and the stack probed, on every call before the check.
[[gnu::noinline]] void WriteEvent(REGHANDLE provider, const TraceEvent& event) {
    Bytes<kMetadataBytes> metadata;
    Bytes<kDataBytes> data;
    metadata.Put("\0\0", 2);   // its size, set below
    metadata.PutByte(0);       // no tags
    metadata.PutText(event.name);
    for (const TraceField& field : event.fields) {
        metadata.PutText(field.name);
        metadata.PutByte(InType(field.kind));
        switch (field.kind) {
            case TraceField::Kind::Text: data.PutText(field.text); break;
            case TraceField::Kind::WideText: data.PutWide(field.wide); break;
            case TraceField::Kind::Path: data.PutWide(PathText(field.wide, field.names, field.leaf)); break;
            case TraceField::Kind::Number:
            case TraceField::Kind::Hex: {
                const auto value = static_cast<std::uint32_t>(field.number);
                data.Put(&value, sizeof value);
                break;
            }
            case TraceField::Kind::Size: data.Put(&field.number, sizeof field.number); break;
        }
    }
    metadata.SetSize16();
    if (!metadata.Fits() || !data.Fits()) return;

    EVENT_DESCRIPTOR descriptor{};
    descriptor.Channel = kChannelTraceLogging;
    descriptor.Level = static_cast<UCHAR>(event.level);
    descriptor.Keyword = event.keywords;
    std::array<EVENT_DATA_DESCRIPTOR, 3> parts{};
    parts[0].Ptr = reinterpret_cast<ULONGLONG>(kTraits.data());   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    parts[0].Size = static_cast<ULONG>(kTraits.size());
    parts[0].Reserved = kDescriptorProviderMetadata;
    parts[1] = metadata.Descriptor(kDescriptorEventMetadata);
    parts[2] = data.Descriptor(0);
    EventWriteTransfer(provider, &descriptor, nullptr, nullptr, static_cast<ULONG>(parts.size()), parts.data());
}

}  // namespace

Win32Platform::Win32Platform() {
    const GUID id = {kTraceProviderGuid.data1, kTraceProviderGuid.data2, kTraceProviderGuid.data3,
                     {kTraceProviderGuid.data4[0], kTraceProviderGuid.data4[1], kTraceProviderGuid.data4[2],
                      kTraceProviderGuid.data4[3], kTraceProviderGuid.data4[4], kTraceProviderGuid.data4[5],
                      kTraceProviderGuid.data4[6], kTraceProviderGuid.data4[7]}};
    REGHANDLE handle = 0;
    if (EventRegister(&id, nullptr, nullptr, &handle) != ERROR_SUCCESS) return;
    // The traits name the provider, and setting them is what makes ETW read the Type of each data
    // descriptor: until then it takes every descriptor as Type 0 (EVENT_INFO_CLASS,
    // EventProviderSetTraits), so the traits and the metadata each event carries would reach a
    // session as field data that no tool decodes. A system that refuses them gets no events at
    // all: the provider is given up and the launcher runs as it would without a session. The
    // call's error is not reported further, as a failed registration is not.
    // mingw-w64's EVENT_INFO_CLASS stops before EventProviderSetTraits; the class is passed as
    // the 32-bit value it is, through the same function seen with that parameter type.
    using SetInformation = ULONG(WINAPI*)(REGHANDLE, ULONG, PVOID, ULONG);
    const auto setInformation =
        reinterpret_cast<SetInformation>(&EventSetInformation);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    Traits traits = kTraits;
    if (setInformation(handle, kEventProviderSetTraits, traits.data(), static_cast<ULONG>(traits.size())) !=
        ERROR_SUCCESS) {
        EventUnregister(handle);
        return;
    }
    provider_ = handle;
}

Win32Platform::~Win32Platform() {
    if (provider_ != 0) EventUnregister(provider_);
}

void Win32Platform::Trace(const TraceEvent& event) {
    // Nothing is formatted unless a session listens at this level and to these keywords, and
    // nothing is reserved before it is asked: the buffers live in WriteEvent's frame alone.
    if (provider_ == 0 || !EventProviderEnabled(provider_, static_cast<UCHAR>(event.level), event.keywords)) return;
    WriteEvent(provider_, event);
}

}  // namespace platform::win32
