#include "report/DirectoryChain.h"

#include <cstddef>
#include <limits>
#include <vector>

#include "report/PathChecks.h"

namespace report {
namespace {

// The position after the last component is the length + 1, which must still fit.
constexpr std::size_t kMaxWalkLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - 1);

// Undoes a failed chain: each directory this call made, deepest first, on the path it was
// made under. Removing only empty directories and links as themselves, it can never take
// with it anything another user put inside meanwhile; a directory that holds such a thing stays.
void RemoveCreated(platform::Platform& os, const std::vector<std::u16string>& created) {
    for (auto level = created.rbegin(); level != created.rend(); ++level) os.RemoveEmptyDirectory(*level);
}

}  // namespace

Component NextComponent(std::u16string_view path, std::int32_t position) {
    if (position < 0 || path.size() > kMaxWalkLength) return {{}, kPathExhausted};
    const auto start = static_cast<std::size_t>(position);
    if (start >= path.size()) return {{}, kPathExhausted};

    std::size_t first = start;
    while (first < path.size() && path[first] == kChainSeparator) ++first;
    if (first == path.size()) return {{}, kPathExhausted};

    std::size_t end = first;
    while (end < path.size() && path[end] != kChainSeparator) ++end;
    return {path.substr(first, end - first), static_cast<std::int32_t>(end + 1)};
}

bool IsNameSurrogate(const std::optional<platform::FindRecord>& record) {
    return record && (record->attributes & platform::kAttributeReparsePoint) != 0 &&
           (record->reserved0 & platform::kReparseTagNameSurrogate) != 0;
}

std::u16string_view LeadingSeparators(std::u16string_view path) {
    std::size_t count = 0;
    while (count < path.size() && path[count] == kChainSeparator) ++count;
    return path.substr(0, count);
}

PathCheckResult CreateDirectoryChain(platform::Platform& os, std::u16string directory,
                                     const platform::SecurityAttributes& security) {
    directory = AsWideCString(std::move(directory));
    if (directory.empty()) return PathOk;
    // No Windows path comes near this; a walk that cannot count its way through makes nothing.
    if (directory.size() > kMaxWalkLength) return DirectoryCreateFailed;
    const auto length = static_cast<std::int32_t>(directory.size());

    std::u16string accumulated(LeadingSeparators(directory));
    std::vector<std::u16string> created;
    std::int32_t position = 0;
    for (;;) {
        const Component component = NextComponent(directory, position);
        accumulated.append(component.text);
        position = component.next;

        const platform::AttributeQuery level = os.QueryAttributes(accumulated);
        if (level.attributes == platform::kInvalidFileAttributes) {
            // A bare server name of a UNC path is no directory to create; its share is next.
            if (level.error != platform::kErrorBadNetPath) {
                if (!os.MakeDirectory(accumulated, security)) {
                    RemoveCreated(os, created);
                    return DirectoryCreateFailed;
                }
                created.push_back(accumulated);
            }
        } else if ((level.attributes & platform::kAttributeReparsePoint) != 0) {
            // Any link is refused, not only the two best-known tags; other reparse points
            // (deduplicated or cloud files, for instance) are walked through.
            if (IsNameSurrogate(os.FindEntry(accumulated))) return ReparsePointFound;
        }

        accumulated.push_back(kChainSeparator);
        if (position == kPathExhausted || position >= length) return PathOk;
    }
}

}  // namespace report
