#include "report/DirectoryChain.h"

#include <cstddef>
#include <limits>
#include <optional>

#include "report/PathChecks.h"

namespace report {
namespace {

// The position after the last component is the length + 1, which must still fit.
constexpr std::size_t kMaxWalkLength = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() - 1);

// SHFileOperationW reads a list of names, each NUL-terminated, ended by an empty one.
std::u16string DeletionList(const std::u16string& directory) {
    std::u16string list = directory;
    list.push_back(u'\0');
    list.push_back(u'\0');
    return list;
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
    // Everything this call creates after it lies inside it (short of a ".." step), so
    // deleting it undoes the whole chain and nothing that was there before.
    std::optional<std::u16string> firstCreated;
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
                    if (firstCreated) os.DeleteTree(DeletionList(*firstCreated));
                    return DirectoryCreateFailed;
                }
                if (!firstCreated) firstCreated = accumulated;
            }
        } else if ((level.attributes & platform::kAttributeReparsePoint) != 0) {
            const PathCheckResult kind = ClassifyPathEntry(os, accumulated);
            if (kind == EntrySymlink || kind == EntryMountPoint) return ReparsePointFound;
        }

        accumulated.push_back(kChainSeparator);
        if (position == kPathExhausted || position >= length) return PathOk;
    }
}

}  // namespace report
