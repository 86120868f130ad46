#include "report/PathChecks.h"

namespace report {

std::u16string AsWideCString(std::u16string path) {
    const std::size_t end = path.find(u'\0');
    if (end != std::u16string::npos) path.resize(end);
    return path;
}

std::optional<std::size_t> SplitPosition(std::u16string_view path) {
    std::size_t at = path.rfind(u'\\');
    if (at == std::u16string_view::npos) at = path.rfind(u'/');
    if (at == std::u16string_view::npos) return std::nullopt;
    return at;
}

std::optional<std::u16string_view> DirectoryPart(std::u16string_view path) {
    const std::optional<std::size_t> at = SplitPosition(path);
    if (!at) return std::nullopt;
    return path.substr(0, *at);
}

PathCheckResult ClassifyFindRecord(const std::optional<platform::FindRecord>& record) {
    if (!record) return EntryNotFound;
    if ((record->attributes & platform::kAttributeReparsePoint) == 0) return EntryPlain;
    switch (record->reserved0) {
        case platform::kReparseTagSymlink: return EntrySymlink;
        case platform::kReparseTagMountPoint: return EntryMountPoint;
        default: return EntryPlain;
    }
}

PathCheckResult ClassifyPathEntry(platform::Platform& os, std::u16string path) {
    return ClassifyFindRecord(os.FindEntry(AsWideCString(std::move(path))));
}

PathCheckResult CheckOutputPath(platform::Platform& os, std::u16string path,
                                const platform::SecurityAttributes& security) {
    path = AsWideCString(std::move(path));
    if (path.empty()) return PathRejected;

    const std::uint32_t entry = os.QueryAttributes(path).attributes;
    if (entry == platform::kAttributeDirectory) return PathRejected;

    const std::optional<std::u16string_view> directoryPart = DirectoryPart(path);
    if (!directoryPart || directoryPart->empty()) return PathRejected;
    const std::u16string directory(*directoryPart);
    const std::uint32_t parent = os.QueryAttributes(directory).attributes;
    if (parent == platform::kInvalidFileAttributes) return PathRejected;
    // A link above the report is followed like any directory; a mount point is not, and
    // neither is a reparse point whose kind the search cannot tell: a search refused on a
    // folder the caller may not list must not pass for "no mount point here".
    if ((parent & platform::kAttributeReparsePoint) != 0) {
        const PathCheckResult kind = ClassifyPathEntry(os, directory);
        if (kind == EntryMountPoint || kind == EntryNotFound) return ParentIsMountPoint;
    }

    if (entry == platform::kInvalidFileAttributes) {
        // Create-new fails on anything already there, a link included, so the report file
        // always comes into being here with the caller's descriptor.
        return os.CreateNewFile(path, security) ? PathOk : FileCreateFailed;
    }
    if ((entry & platform::kAttributeReparsePoint) != 0) return ReparsePointFound;
    return PathOk;
}

}  // namespace report
