#pragma once

#include <algorithm>
#include <array>
#include <initializer_list>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/Platform.h"

// Writing trace events from the launcher's own code. A call builds a small array of fields that
// point at data the caller already holds and hands it to the platform, which returns at once
// unless a session listens: the silent run pays for one check per event and formats nothing.
namespace platform {

inline TraceField TraceText(const char* name, std::string_view value) {
    TraceField field;
    field.name = name;
    field.kind = TraceField::Kind::Text;
    field.text = value;
    return field;
}

inline TraceField TraceWide(const char* name, std::u16string_view value) {
    TraceField field;
    field.name = name;
    field.kind = TraceField::Kind::WideText;
    field.wide = value;
    return field;
}

// A place on the report path as the walk names it: a root in its NT form, the names below it,
// and one name more (or none).
inline TraceField TracePath(const char* name, std::u16string_view root, std::span<const std::u16string> names,
                            std::u16string_view leaf = {}) {
    TraceField field;
    field.name = name;
    field.kind = TraceField::Kind::Path;
    field.wide = root;
    field.names = names;
    field.leaf = leaf;
    return field;
}

// A number: decimal (Number, Size) or hexadecimal (Hex) in the decoded event.
inline TraceField TraceValue(const char* name, TraceField::Kind kind, std::uint64_t value) {
    TraceField field;
    field.name = name;
    field.kind = kind;
    field.number = value;
    return field;
}
inline TraceField TraceNumber(const char* name, std::uint32_t value) {
    return TraceValue(name, TraceField::Kind::Number, value);
}
inline TraceField TraceHex(const char* name, std::uint32_t value) { return TraceValue(name, TraceField::Kind::Hex, value); }
inline TraceField TraceSize(const char* name, std::uint64_t value) {
    return TraceValue(name, TraceField::Kind::Size, value);
}

inline void Emit(Platform& os, const char* event, TraceLevel level, std::uint64_t keywords,
                 std::initializer_list<TraceField> fields) {
    os.Trace(TraceEvent{event, level, keywords, std::span<const TraceField>(fields.begin(), fields.size())});
}

// An Error event for a platform operation that failed, named as Platform.h names it, with the
// Win32 error the platform answered for it, and what else places it.
inline void EmitFailure(Platform& os, std::uint64_t keywords, const char* call, std::uint32_t error,
                        std::initializer_list<TraceField> more = {}) {
    constexpr std::size_t kMostFields = 8;
    std::array<TraceField, kMostFields> fields{TraceText("Call", call), TraceNumber("Error", error)};
    const std::size_t count = 2 + std::min(more.size(), kMostFields - 2);
    std::copy_n(more.begin(), count - 2, fields.begin() + 2);
    os.Trace(TraceEvent{"CallFailed", TraceLevel::Error, keywords, std::span<const TraceField>(fields.data(), count)});
}

// The same, with the error read right after the failure.
inline void EmitCallFailed(Platform& os, std::uint64_t keywords, const char* call,
                           std::initializer_list<TraceField> more = {}) {
    EmitFailure(os, keywords, call, os.LastError(), more);
}

// A path field as text: the NT root as a Win32 path ("\??\C:\" as "C:\", "\??\UNC\s\x\" as
// "\\s\x\", "\??\Volume{...}\" as "\\?\Volume{...}\"), then the names with a backslash between
// them. Used by whoever renders the field.
inline std::u16string PathText(std::u16string_view root, std::span<const std::u16string> names,
                               std::u16string_view leaf) {
    constexpr std::u16string_view kNtPrefix = u"\\??\\";
    constexpr std::u16string_view kUnc = u"UNC\\";
    std::u16string text;
    if (root.substr(0, kNtPrefix.size()) == kNtPrefix) {
        root.remove_prefix(kNtPrefix.size());
        if (root.substr(0, kUnc.size()) == kUnc) {
            root.remove_prefix(kUnc.size());
            text = u"\\\\";
        } else if (root.size() < 2 || root[1] != u':') {
            text = u"\\\\?\\";   // a volume named by its GUID
        }
    }
    text.append(root);
    const auto add = [&text](std::u16string_view name) {
        if (!text.empty() && text.back() != u'\\') text.push_back(u'\\');
        text.append(name);
    };
    for (const std::u16string& name : names) add(name);
    if (!leaf.empty()) add(leaf);
    return text;
}

}  // namespace platform
