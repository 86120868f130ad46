#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "report/PathCheckResult.h"

// Creation of the missing levels of a directory path, outermost first, each under the
// caller's descriptor; links and mount points on the way are refused, and a failed creation
// removes again, deepest first, the directories that the same call created while they are empty.
namespace report {

// Only the backslash separates levels here; a forward slash is part of a name.
inline constexpr char16_t kChainSeparator = u'\\';

// A position of -1 means that nothing but separators remains.
inline constexpr std::int32_t kPathExhausted = -1;

struct Component {
    std::u16string_view text;   // empty once only separators remain
    std::int32_t next;          // where the following search starts, or kPathExhausted
};

// The component that starts at `position` after any run of separators there, and the
// position one past the separator that ends it (the length + 1 at the end of the path).
// A position outside [0, length) yields an empty component and kPathExhausted.
Component NextComponent(std::u16string_view path, std::int32_t position);

// Whether a found level leads to another named entity: its reparse tag carries the
// name-surrogate bit, as symbolic links, mount points and every other kind of link do.
bool IsNameSurrogate(const std::optional<platform::FindRecord>& record);

// The run of separators a path starts with: kept in front of the accumulated path, so that
// a UNC path stays UNC and a rooted path stays rooted.
std::u16string_view LeadingSeparators(std::u16string_view path);

// PathOk, DirectoryCreateFailed or ReparsePointFound.
PathCheckResult CreateDirectoryChain(platform::Platform& os, std::u16string directory,
                                     const platform::SecurityAttributes& security);

}  // namespace report
