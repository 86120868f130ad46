#include "report/PathWalk.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/Tracing.h"
#include "report/LinkTrust.h"

namespace report {
namespace {

using platform::TraceText;
constexpr std::uint64_t kKeywords = platform::kTraceReportPath;

std::string_view LinkKind(std::uint32_t tag) {
    if (tag == platform::kReparseTagMountPoint) return "junction";
    if (tag == platform::kReparseTagSymlink) return "symbolic link";
    return "link";
}

std::string_view DistrustText(LinkVerdict verdict) {
    switch (verdict) {
        case LinkVerdict::OwnerNotTrusted:
            return "a link whose owner is neither the system, Administrators nor TrustedInstaller";
        case LinkVerdict::NoAccessList: return "a link without an access list: anyone may change it";
        case LinkVerdict::OthersMayChange: return "a link that someone else may change";
        case LinkVerdict::Trusted: break;
    }
    return {};
}

}  // namespace

void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link, std::u16string_view who) {
    platform::Emit(os, "ReportPathRefused", platform::TraceLevel::Error, kKeywords,
                   {level, TraceText("Reason", reason), TraceText("Link", link), platform::TraceWide("Who", who)});
}

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
    const std::uint32_t openError = os_.LastError();
    // Made here and then opened again: the open for writing is what a caller without the right
    // to write under the report's descriptor is refused, as with any existing report.
    if (!os_.CreateChildFile(current_, name, security_)) {
        const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
        platform::EmitFailure(os_, kKeywords, "OpenChildForWriting", openError, {level});
        platform::EmitCallFailed(os_, kKeywords, "CreateChildFile", {level});
        Refuse(name, "the report can neither be opened for writing nor made");
        return platform::kNoFile;
    }
    NoteLevel(name, "report made");
    file = os_.OpenChildForWriting(current_, name);
    if (file == platform::kNoFile) {
        platform::EmitCallFailed(os_, kKeywords, "OpenChildForWriting",
                                 {platform::TracePath("Level", here_.root, here_.names, name)});
        Refuse(name, "the report cannot be opened for writing");
    }
    return file;
}

bool PathWalk::Enter(const std::u16string& root) {
    const platform::FileHandle handle = os_.OpenRoot(root);
    if (handle == platform::kNoFile) {
        platform::EmitCallFailed(os_, kKeywords, "OpenRoot", {platform::TracePath("Level", root, {})});
        here_ = Location{root, {}};
        Refuse({}, "the root cannot be opened");
        return false;
    }
    Hold(handle, false);
    here_ = Location{root, {}};
    ++rootsEntered_;
    NoteLevel({}, "root opened");
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
            const std::optional<Location> destination = Follow(current_, next);
            if (!destination || !Enter(destination->root)) return false;
            pending.insert(pending.end(), destination->names.rbegin(), destination->names.rend());
        }
    }
    return true;
}

PathWalk::Stepped PathWalk::Step(const std::u16string& name, bool creatable) {
    platform::FileHandle handle = os_.OpenChild(current_, name);
    if (handle == platform::kNoFile) {
        const std::uint32_t openError = os_.LastError();
        const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
        // Whatever kept the open from finding it, the create fails on anything that is there.
        if (!creatable) {
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            Refuse(name, "the level cannot be opened");
            return Stepped::Failed;
        }
        handle = os_.CreateChildDirectory(current_, name, security_);
        if (handle == platform::kNoFile) {
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            platform::EmitCallFailed(os_, kKeywords, "CreateChildDirectory", {level});
            Refuse(name, "the level can neither be opened nor made");
            return Stepped::Failed;
        }
        Hold(handle, true);
        NoteLevel(name, "made");
        here_.names.push_back(name);
        return Stepped::Entered;
    }
    Hold(handle, false);
    const std::optional<platform::HandleInfo> info = os_.QueryHandle(handle);
    if (!info) {
        platform::EmitCallFailed(os_, kKeywords, "QueryHandle",
                                 {platform::TracePath("Level", here_.root, here_.names, name)});
        Refuse(name, "the level cannot be queried");
        return Stepped::Failed;
    }
    if ((info->attributes & platform::kAttributeReparsePoint) != 0 &&
        (info->reparseTag & platform::kReparseTagNameSurrogate) != 0) {
        linkTag_ = info->reparseTag;
        return Stepped::AtLink;
    }
    // Any other reparse point (deduplicated or cloud files) is walked through like a folder.
    if ((info->attributes & platform::kAttributeDirectory) == 0) {
        Refuse(name, "the level is no directory");
        return Stepped::Failed;
    }
    NoteLevel(name, (info->attributes & platform::kAttributeReparsePoint) != 0 ? "opened: a reparse point, no link"
                                                                                : "opened");
    here_.names.push_back(name);
    return Stepped::Entered;
}

// The link stays held, so it cannot be pointed elsewhere by being replaced; its target is read
// through that handle and walked from its own root, each level again under every rule here.
std::optional<Location> PathWalk::Follow(platform::FileHandle link, const std::u16string& name) {
    const std::string_view kind = LinkKind(linkTag_);
    const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
    if (++linksFollowed_ > kMaxLinksFollowed) {
        Refuse(name, "more links on the path than Windows follows", kind);
        return std::nullopt;
    }
    const std::optional<platform::EntrySecurity> security = os_.ReadSecurity(link);
    if (!security) {
        platform::EmitCallFailed(os_, kKeywords, "ReadSecurity", {level});
        Refuse(name, "a link whose owner and access list cannot be read", kind);
        return std::nullopt;
    }
    const LinkJudgement judgement = JudgeLink(*security);
    if (judgement.verdict != LinkVerdict::Trusted) {
        Refuse(name, DistrustText(judgement.verdict), kind, judgement.who);
        return std::nullopt;
    }
    const std::optional<std::vector<std::uint8_t>> data = os_.ReadReparseData(link);
    if (!data) {
        platform::EmitCallFailed(os_, kKeywords, "ReadReparseData", {level});
        Refuse(name, "a link whose target cannot be read", kind);
        return std::nullopt;
    }
    const std::optional<LinkTarget> target = ParseLinkTarget(*data);
    std::optional<Location> destination;
    if (target) destination = ResolveLinkTarget(*target, here_);
    if (!destination) {
        Refuse(name, "a link whose target is not a path the walk can take", kind);
        return std::nullopt;
    }
    platform::Emit(os_, "ReportPathLink", platform::TraceLevel::Information, kKeywords,
                   {level, TraceText("Link", kind), platform::TraceWide("Owner", security->owner),
                    platform::TracePath("Target", destination->root, destination->names)});
    return destination;
}

void PathWalk::Hold(platform::FileHandle handle, bool made) {
    held_.push_back(Held{platform::UniqueFile(os_, handle), made, here_.names.size() + 1, rootsEntered_});
    current_ = handle;
}

void PathWalk::NoteLevel(std::u16string_view name, std::string_view step) {
    platform::Emit(os_, "ReportPathLevel", platform::TraceLevel::Verbose, kKeywords,
                   {platform::TracePath("Level", here_.root, here_.names, name), TraceText("Step", step)});
}

void PathWalk::Refuse(std::u16string_view name, std::string_view reason, std::string_view link,
                      std::u16string_view who) {
    TraceRefusal(os_, platform::TracePath("Level", here_.root, here_.names, name), reason, link, who);
}

// Deepest first: each directory goes when its handle closes, and only then is the one above
// it empty. One that someone else has put anything into stays, with what is in it.
void PathWalk::RemoveMade() {
    while (!held_.empty()) {
        Held& last = held_.back();
        if (last.made) {
            // here_ still holds the names down to the deepest level, unless a link has taken the
            // walk to another root since this one was made.
            const bool named = last.entered == rootsEntered_ && last.depth <= here_.names.size();
            const platform::TraceField level = platform::TracePath(
                "Level", here_.root,
                std::span<const std::u16string>(here_.names.data(), named ? last.depth : 0));
            if (os_.DeleteEmptyDirectory(last.handle.get())) {
                platform::Emit(os_, "ReportPathLevelRemoved", platform::TraceLevel::Verbose, kKeywords, {level});
            } else {
                platform::EmitCallFailed(os_, kKeywords, "DeleteEmptyDirectory", {level});
            }
        }
        held_.pop_back();
    }
    current_ = platform::kNoFile;
}

void PathWalk::Release() {
    while (!held_.empty()) held_.pop_back();
    current_ = platform::kNoFile;
}

}  // namespace report
