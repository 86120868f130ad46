#include "report/PathWalk.h"

#include <optional>
#include <utility>

#include "report/LinkTrust.h"

namespace report {

bool PathWalk::OpenLevels(const ReportPlan& plan) {
    if (!Enter(plan.root)) return false;
    for (const PathLevel& level : plan.levels) {
        if (!Step(level.name, level.creatable)) {
            if (level.inDirectoryPart) RemoveMade();
            return false;
        }
    }
    return true;
}

platform::FileHandle PathWalk::OpenReport(const std::u16string& name) {
    if (current_ == platform::kNoFile) return platform::kNoFile;
    platform::FileHandle file = os_.OpenChildForWriting(current_, name);
    if (file != platform::kNoFile) return file;
    // Made here and then opened again: the open for writing is what a caller without the right
    // to write under the report's descriptor is refused, as with any existing report.
    if (!os_.CreateChildFile(current_, name, security_)) return platform::kNoFile;
    return os_.OpenChildForWriting(current_, name);
}

bool PathWalk::Enter(const std::u16string& root) {
    const platform::FileHandle handle = os_.OpenRoot(root);
    if (handle == platform::kNoFile) return false;
    Hold(handle, false);
    here_ = Location{root, {}};
    return true;
}

bool PathWalk::Step(const std::u16string& name, bool creatable) {
    platform::FileHandle handle = os_.OpenChild(current_, name);
    if (handle == platform::kNoFile) {
        // Whatever kept the open from finding it, the create fails on anything that is there.
        if (!creatable) return false;
        handle = os_.CreateChildDirectory(current_, name, security_);
        if (handle == platform::kNoFile) return false;
        Hold(handle, true);
        here_.names.push_back(name);
        return true;
    }
    Hold(handle, false);
    const std::optional<platform::HandleInfo> info = os_.QueryHandle(handle);
    if (!info) return false;
    if ((info->attributes & platform::kAttributeReparsePoint) != 0 &&
        (info->reparseTag & platform::kReparseTagNameSurrogate) != 0) {
        return Follow(handle);
    }
    // Any other reparse point (deduplicated or cloud files) is walked through like a folder.
    if ((info->attributes & platform::kAttributeDirectory) == 0) return false;
    here_.names.push_back(name);
    return true;
}

// The link stays held, so it cannot be pointed elsewhere by being replaced; its target is read
// through that handle and walked from its own root, each level again under every rule here.
bool PathWalk::Follow(platform::FileHandle link) {
    if (++linksFollowed_ > kMaxLinksFollowed) return false;
    const std::optional<platform::EntrySecurity> security = os_.ReadSecurity(link);
    if (!security || !IsTrustedLink(*security)) return false;
    const std::optional<std::vector<std::uint8_t>> data = os_.ReadReparseData(link);
    if (!data) return false;
    const std::optional<LinkTarget> target = ParseLinkTarget(*data);
    if (!target) return false;
    const std::optional<Location> destination = ResolveLinkTarget(*target, here_);
    if (!destination || !Enter(destination->root)) return false;
    for (const std::u16string& name : destination->names) {
        if (!Step(name, false)) return false;
    }
    return true;
}

void PathWalk::Hold(platform::FileHandle handle, bool made) {
    held_.push_back(Held{platform::UniqueFile(os_, handle), made});
    current_ = handle;
}

// Deepest first: each directory goes when its handle closes, and only then is the one above
// it empty. One that someone else has put anything into stays, with what is in it.
void PathWalk::RemoveMade() {
    while (!held_.empty()) {
        Held& last = held_.back();
        if (last.made) os_.DeleteEmptyDirectory(last.handle.get());
        held_.pop_back();
    }
    current_ = platform::kNoFile;
}

void PathWalk::Release() {
    while (!held_.empty()) held_.pop_back();
    current_ = platform::kNoFile;
}

}  // namespace report
