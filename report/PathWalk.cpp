#include "report/PathWalk.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/Tracing.h"

namespace report {
namespace {

using platform::TraceText;
constexpr std::uint64_t kKeywords = platform::kTraceReportPath;

constexpr std::string_view kShareRefusal =
    "a share: its server resolves every open by name again and follows links inside the share, so nothing checked "
    "here holds there";

// A local disk by its volume's own answer: the two disk device types, and not remote.
bool IsLocalDisk(const platform::VolumeInfo& volume) {
    return (volume.deviceType == platform::kDeviceDisk || volume.deviceType == platform::kDeviceDiskFileSystem) &&
           (volume.characteristics & platform::kVolumeRemoteDevice) == 0;
}

}  // namespace

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

std::string_view LinkKind(std::uint32_t tag) {
    if (tag == platform::kReparseTagMountPoint) return "junction";
    if (tag == platform::kReparseTagSymlink) return "symbolic link";
    return "link";
}

void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link) {
    platform::Emit(os, "ReportPathRefused", platform::TraceLevel::Error, kKeywords,
                   {level, TraceText("Reason", reason), TraceText("Link", link)});
}

bool PathWalk::OpenLevels(const ReportPlan& plan) {
    const bool reached = Enter(plan.root) &&
                         std::all_of(plan.levels.begin(), plan.levels.end(),
                                     [this](const PathLevel& level) { return Step(level.name, level.creatable); });
    if (!reached) RemoveMade();
    return reached;
}

// Before anything is opened: a drive letter or volume name is a link of the object manager, and
// only one that names a device alone leads to a volume's root; a drive made with subst names a
// folder, and one mapped to a share a path below its redirector. Reading the link sends nothing
// to any server.
bool PathWalk::OnLocalDisk(const std::u16string& root) {
    const std::u16string device = RootDeviceName(root);
    if (device.empty()) {
        Refuse({}, kShareRefusal);
        return false;
    }
    const std::optional<std::u16string> link = os_.DeviceLink(device);
    if (!link) {
        platform::EmitCallFailed(os_, kKeywords, "DeviceLink", {platform::TraceWide("Level", root)});
        Refuse({}, "the drive is not defined here");
        return false;
    }
    platform::Emit(os_, "ReportPathDrive", platform::TraceLevel::Verbose, kKeywords,
                   {platform::TraceWide("Level", root), platform::TraceWide("DeviceLink", *link)});
    if (NamesADeviceAlone(*link)) return true;
    Refuse({}, "the drive stands for a folder (subst) or a share (a network drive), not for a volume of its own: "
               "nothing was opened on it");
    return false;
}

bool PathWalk::Enter(const std::u16string& root) {
    here_ = Location{root, {}};
    if (!OnLocalDisk(root)) return false;
    const platform::FileHandle handle = os_.OpenRoot(root, kRootOpen);
    if (handle == platform::kNoFile) {
        platform::EmitCallFailed(os_, kKeywords, "OpenRoot", {platform::TracePath("Level", root, {})});
        Refuse({}, "the root cannot be opened");
        return false;
    }
    Hold(handle, false);
    const platform::TraceField level = platform::TracePath("Level", root, {});
    // Local disks by an allow list: whatever else a volume is (a redirector, a CD, a device no
    // list here knows), the report does not go there.
    const std::optional<platform::VolumeInfo> volume = os_.QueryVolume(handle);
    if (!volume) {
        platform::EmitCallFailed(os_, kKeywords, "QueryVolume", {level});
        Refuse({}, "the volume of the root cannot be queried");
        return false;
    }
    if (!IsLocalDisk(*volume)) {
        platform::Emit(os_, "ReportPathVolume", platform::TraceLevel::Verbose, kKeywords,
                       {level, platform::TraceHex("DeviceType", volume->deviceType),
                        platform::TraceHex("Characteristics", volume->characteristics)});
        Refuse({}, "not a local disk: the volume's device type or characteristics are not those of one");
        return false;
    }
    // The volume's root answers "\" (MS-FSA 2.1.5.12.19): anything else is a folder standing in for it.
    const std::optional<std::u16string> name = os_.QueryName(handle);
    if (!name) {
        platform::EmitCallFailed(os_, kKeywords, "QueryName", {level});
        Refuse({}, "the name of the root cannot be queried");
        return false;
    }
    if (*name != u"\\") {
        Refuse({}, "the root opened is a folder, not its volume's root");
        return false;
    }
    NoteLevel({}, "root opened");
    return true;
}

bool PathWalk::Step(const std::u16string& name, bool creatable) {
    platform::FileHandle handle = os_.OpenChild(current_, name, kLevelOpen);
    if (handle == platform::kNoFile) {
        const std::uint32_t openError = os_.LastError();
        const platform::TraceField level = platform::TracePath("Level", here_.root, here_.names, name);
        // Whatever kept the open from finding it, the create fails on anything that is there.
        if (!creatable || openError == platform::kErrorReparsePointEncountered ||
            openError == platform::kErrorInvalidParameter) {
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            Refuse(name, OpenRefusal(openError, "the level cannot be opened"));
            return false;
        }
        handle = os_.CreateChildDirectory(current_, name, kMadeLevel, security_);
        if (handle == platform::kNoFile) {
            const std::uint32_t createError = os_.LastError();
            platform::EmitFailure(os_, kKeywords, "OpenChild", openError, {level});
            platform::EmitFailure(os_, kKeywords, "CreateChildDirectory", createError, {level});
            Refuse(name, OpenRefusal(createError, "the level can neither be opened nor made"));
            return false;
        }
        Hold(handle, true);
        NoteLevel(name, "made");
        here_.names.push_back(name);
        return true;
    }
    Hold(handle, false);
    const std::optional<platform::HandleInfo> info = os_.QueryHandle(handle);
    if (!info) {
        platform::EmitCallFailed(os_, kKeywords, "QueryHandle",
                                 {platform::TracePath("Level", here_.root, here_.names, name)});
        Refuse(name, "the level cannot be queried");
        return false;
    }
    // A link of any kind (its tag marked as a name surrogate), whoever made it and wherever it
    // leads: who may have made or moved a link cannot be told from it (MS-FSA 2.1.5.15.11,
    // 2.1.5.15.6), so none is followed.
    if ((info->attributes & platform::kAttributeReparsePoint) != 0 &&
        (info->reparseTag & platform::kReparseTagNameSurrogate) != 0) {
        Refuse(name, "a link: the report path follows none, whoever made it; name the folder it leads to instead",
               LinkKind(info->reparseTag));
        return false;
    }
    // Any other reparse point (deduplicated or cloud files) is walked through like a folder.
    if ((info->attributes & platform::kAttributeDirectory) == 0) {
        Refuse(name, "the level is no directory");
        return false;
    }
    NoteLevel(name, (info->attributes & platform::kAttributeReparsePoint) != 0 ? "opened: a reparse point, no link"
                                                                                : "opened");
    here_.names.push_back(name);
    return true;
}

void PathWalk::Hold(platform::FileHandle handle, bool made) {
    held_.push_back(Held{platform::UniqueFile(os_, handle), made, here_.names.size() + 1});
    current_ = handle;
}

void PathWalk::NoteLevel(std::u16string_view name, std::string_view step) {
    platform::Emit(os_, "ReportPathLevel", platform::TraceLevel::Verbose, kKeywords,
                   {platform::TracePath("Level", here_.root, here_.names, name), TraceText("Step", step)});
}

void PathWalk::Refuse(std::u16string_view name, std::string_view reason, std::string_view link) {
    TraceRefusal(os_, platform::TracePath("Level", here_.root, here_.names, name), reason, link);
}

// Deepest first: each directory goes when its handle closes, and only then is the one above
// it empty. One that someone else has put anything into stays, with what is in it.
void PathWalk::RemoveMade() {
    while (!held_.empty()) {
        Held& last = held_.back();
        if (last.made) {
            // here_ holds the names down to the deepest level.
            const platform::TraceField level = platform::TracePath(
                "Level", here_.root,
                std::span<const std::u16string>(here_.names.data(), std::min(last.depth, here_.names.size())));
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
    current_ = platform::kNoFile;
}

void PathWalk::Release() {
    while (!held_.empty()) held_.pop_back();
    current_ = platform::kNoFile;
}

}  // namespace report
