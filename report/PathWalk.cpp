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
        case LinkVerdict::OthersMayChange: return "a link that someone else may change, delete or rename";
        case LinkVerdict::OthersMayMove:
            return "a link that someone else may have moved here: a folder above it lets them delete, rename or "
                   "move what it holds, or itself";
        case LinkVerdict::Trusted: break;
    }
    return {};
}

// Why an open through a held level failed, where the error tells more than the call.
std::string_view OpenRefusal(std::uint32_t error, std::string_view otherwise) {
    if (error == platform::kErrorReparsePointEncountered) {
        return "the level above became a link after it was checked: the open stopped at the reparse point";
    }
    // A system older than OBJ_DONT_REPARSE (reported: before Windows 10 version 1803) refuses
    // every open that carries it; going on without it would give up what it guards.
    if (error == platform::kErrorInvalidParameter) {
        return "the system refused the open as an invalid parameter, as a Windows without OBJ_DONT_REPARSE (reported: "
               "before Windows 10 version 1803) refuses every open with it: the report is not written without it";
    }
    return otherwise;
}

// A share, by its NT root: refused before anything is sent to its server.
bool IsShareRoot(std::u16string_view root) { return root.rfind(u"\\??\\UNC\\", 0) == 0; }

constexpr std::string_view kShareRefusal =
    "a share: its server resolves every open by name again and follows links inside the share, so nothing checked "
    "here holds there";

}  // namespace

void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link, std::u16string_view who) {
    platform::Emit(os, "ReportPathRefused", platform::TraceLevel::Error, kKeywords,
                   {level, TraceText("Reason", reason), TraceText("Link", link), platform::TraceWide("Who", who)});
}

bool PathWalk::OpenLevels(const ReportPlan& plan) {
    const bool reached = Enter(plan.root) &&
                         std::all_of(plan.levels.begin(), plan.levels.end(),
                                     [this](const PathLevel& level) { return Reach(level.name, level.creatable); });
    if (!reached) RemoveMade();
    return reached;
}

ReportFile PathWalk::OpenReport(const std::u16string& name) {
    if (current_ == platform::kNoFile) return {};
    const platform::FileHandle file = os_.OpenChildFile(current_, name, kReportOpen);
    if (file != platform::kNoFile) return {file, false};
    const std::uint32_t openError = os_.LastError();
    // Made and written through the same handle: nothing can be swapped in at the name between.
    const platform::FileHandle made = os_.CreateChildFile(current_, name, kReportMade, security_);
    if (made == platform::kNoFile) {
        const std::uint32_t createError = os_.LastError();
        const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
        platform::EmitFailure(os_, kKeywords, "OpenChildFile", openError, {level});
        platform::EmitFailure(os_, kKeywords, "CreateChildFile", createError, {level});
        Refuse(name, OpenRefusal(createError, "the report can neither be opened for writing nor made"));
        RemoveMade();
        return {};
    }
    NoteLevel(name, "report made");
    return {made, true};
}

bool PathWalk::Enter(const std::u16string& root) {
    here_ = Location{root, {}};
    if (IsShareRoot(root)) {
        Refuse({}, kShareRefusal);
        return false;
    }
    const platform::FileHandle handle = os_.OpenRoot(root, kRootOpen);
    if (handle == platform::kNoFile) {
        platform::EmitCallFailed(os_, kKeywords, "OpenRoot", {platform::TracePath("Level", root, {})});
        Refuse({}, "the root cannot be opened");
        return false;
    }
    Hold(handle, false);
    ++rootsEntered_;
    folders_.assign(1, handle);
    // A drive letter can stand for a share too (a mapped drive): the volume tells.
    const std::optional<platform::VolumeInfo> volume = os_.QueryVolume(handle);
    if (!volume) {
        platform::EmitCallFailed(os_, kKeywords, "QueryVolume", {platform::TracePath("Level", root, {})});
        Refuse({}, "the volume of the root cannot be queried");
        return false;
    }
    const std::uint32_t type = volume->deviceType;
    if ((volume->characteristics & platform::kVolumeRemoteDevice) != 0 || type == platform::kDeviceNetworkFileSystem ||
        type == platform::kDeviceNetwork || type == platform::kDeviceDfs) {
        Refuse({}, kShareRefusal);
        return false;
    }
    removableVolume_ = (volume->characteristics & platform::kVolumeRemovableMedia) != 0;
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
    platform::FileHandle handle = os_.OpenChild(current_, name, kLevelOpen);
    if (handle == platform::kNoFile) {
        const std::uint32_t openError = os_.LastError();
        const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
        // Whatever kept the open from finding it, the create fails on anything that is there.
        if (!creatable || openError == platform::kErrorReparsePointEncountered ||
            openError == platform::kErrorInvalidParameter) {
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            Refuse(name, OpenRefusal(openError, "the level cannot be opened"));
            return Stepped::Failed;
        }
        handle = os_.CreateChildDirectory(current_, name, kMadeLevel, security_);
        if (handle == platform::kNoFile) {
            const std::uint32_t createError = os_.LastError();
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            platform::EmitFailure(os_, kKeywords, "CreateChildDirectory", createError, {level});
            Refuse(name, OpenRefusal(createError, "the level can neither be opened nor made"));
            return Stepped::Failed;
        }
        Hold(handle, true);
        folders_.push_back(handle);
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
    folders_.push_back(handle);
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
    // Owners and lists on removable media may have been set on another machine.
    if (removableVolume_) {
        Refuse(name, "a link on removable media, whose owner and list may have been set elsewhere", kind);
        return std::nullopt;
    }
    if (!PlacedByTrusted(name, kind)) return std::nullopt;
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

// Nobody but the trusted principals may have put the link where it stands: the folders from
// its root down to the one holding it are read through the walk's own handles.
bool PathWalk::PlacedByTrusted(const std::u16string& name, std::string_view kind) {
    std::vector<platform::EntrySecurity> folders;
    folders.reserve(folders_.size());
    for (const platform::FileHandle folder : folders_) {
        std::optional<platform::EntrySecurity> security = os_.ReadSecurity(folder);
        if (!security) {
            platform::EmitCallFailed(os_, kKeywords, "ReadSecurity",
                                     {platform::TracePath("Level", here_.root, here_.names, name)});
            Refuse(name, "a link whose folders' owners and access lists cannot be read", kind);
            return false;
        }
        folders.push_back(std::move(*security));
    }
    const LinkJudgement placement = JudgePlacement(folders);
    if (placement.verdict == LinkVerdict::Trusted) return true;
    Refuse(name, DistrustText(placement.verdict), kind, placement.who);
    return false;
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
            // Someone who may write in it has made it a link meanwhile: it is no longer only what
            // this walk made, so it stays, like a folder someone has put anything into; so does
            // one that cannot be looked at.
            const std::optional<platform::HandleInfo> info = os_.QueryHandle(last.handle.get());
            if (!info) {
                platform::EmitCallFailed(os_, kKeywords, "QueryHandle", {level});
            } else if ((info->attributes & platform::kAttributeReparsePoint) != 0) {
                platform::Emit(os_, "ReportPathLevelKept", platform::TraceLevel::Verbose, kKeywords,
                               {level, TraceText("Reason", "made a reparse point since this walk made it")});
            } else if (os_.MarkForDeletion(last.handle.get())) {
                platform::Emit(os_, "ReportPathLevelRemoved", platform::TraceLevel::Verbose, kKeywords, {level});
            } else {
                platform::EmitCallFailed(os_, kKeywords, "MarkForDeletion", {level});
            }
        }
        held_.pop_back();
    }
    folders_.clear();
    current_ = platform::kNoFile;
}

void PathWalk::Release() {
    while (!held_.empty()) held_.pop_back();
    folders_.clear();
    current_ = platform::kNoFile;
}

}  // namespace report
