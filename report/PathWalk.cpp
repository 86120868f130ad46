#include "report/PathWalk.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "report/LinkTrust.h"

namespace report {

bool PathWalk::OpenLevels(const ReportPlan& plan) {
    if (!Enter(plan.root)) return false;
    const auto failed = std::find_if(plan.levels.begin(), plan.levels.end(),
                                     [this](const PathLevel& level) { return !Reach(level.name, level.creatable); });
    if (failed == plan.levels.end()) return true;
    if (failed->inDirectoryPart) RemoveMade();
    return false;
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

// One level of the plan, and when a link stands there, its target's levels in its place, and
// theirs in turn: the names still to open are kept as a stack, the next one last.
bool PathWalk::Reach(const std::u16string& name, bool creatable) {
    std::vector<std::u16string> pending{name};
    bool planLevel = true;
    while (!pending.empty()) {
        const std::u16string next = std::move(pending.back());
        pending.pop_back();
        // Only the plan's own level may be made; a link's target is taken as it is.
        const Stepped stepped = Step(next, planLevel && creatable);
        planLevel = false;
        if (stepped == Stepped::Failed) return false;
        if (stepped == Stepped::AtLink) {
            const std::optional<Location> destination = Follow(current_);
            if (!destination || !Enter(destination->root)) return false;
            pending.insert(pending.end(), destination->names.rbegin(), destination->names.rend());
        }
    }
    return true;
}

PathWalk::Stepped PathWalk::Step(const std::u16string& name, bool creatable) {
    platform::FileHandle handle = os_.OpenChild(current_, name);
    if (handle == platform::kNoFile) {
        // Whatever kept the open from finding it, the create fails on anything that is there.
        if (!creatable) return Stepped::Failed;
        handle = os_.CreateChildDirectory(current_, name, security_);
        if (handle == platform::kNoFile) return Stepped::Failed;
        Hold(handle, true);
        here_.names.push_back(name);
        return Stepped::Entered;
    }
    Hold(handle, false);
    const std::optional<platform::HandleInfo> info = os_.QueryHandle(handle);
    if (!info) return Stepped::Failed;
    if ((info->attributes & platform::kAttributeReparsePoint) != 0 &&
        (info->reparseTag & platform::kReparseTagNameSurrogate) != 0) {
        return Stepped::AtLink;
    }
    // Any other reparse point (deduplicated or cloud files) is walked through like a folder.
    if ((info->attributes & platform::kAttributeDirectory) == 0) return Stepped::Failed;
    here_.names.push_back(name);
    return Stepped::Entered;
}

// The link stays held, so it cannot be pointed elsewhere by being replaced; its target is read
// through that handle and walked from its own root, each level again under every rule here.
std::optional<Location> PathWalk::Follow(platform::FileHandle link) {
    if (++linksFollowed_ > kMaxLinksFollowed) return std::nullopt;
    const std::optional<platform::EntrySecurity> security = os_.ReadSecurity(link);
    if (!security || !IsTrustedLink(*security)) return std::nullopt;
    const std::optional<std::vector<std::uint8_t>> data = os_.ReadReparseData(link);
    if (!data) return std::nullopt;
    const std::optional<LinkTarget> target = ParseLinkTarget(*data);
    if (!target) return std::nullopt;
    return ResolveLinkTarget(*target, here_);
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
