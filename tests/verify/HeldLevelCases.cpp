#include "HeldLevelCases.h"

#include <windows.h>

#include <winternl.h>

#include <optional>
#include <string>

#include "Acl.h"
#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "Links.h"
#include "PathWalkCases.h"
#include "Text.h"
#include "platform/Owners.h"
#include "platform/win32/SystemExport.h"
#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"
#include "report/PathWalk.h"

namespace verify {
namespace {


std::u16string Utf16Text(const std::wstring& text) { return platform::win32::Utf16(text.c_str()); }

// The launcher's own Win32 layer, called as the walk calls it: no copy of its requests or calls.
class LauncherLayer {
public:
    platform::win32::Win32Platform os;

    // The case's folder held as the walk holds a level: its root, then each level through the one
    // above with the walk's request, only the last kept. kNoFile, with the layer's Win32 error
    // in `error`, when a level cannot be opened.
    platform::UniqueFile OpenFolder(const std::wstring& folder, std::uint32_t& error) {
        platform::UniqueFile level(os, folder.size() < 3 ? platform::kNoFile
                                                          : os.OpenRoot(u"\\??\\" + Utf16Text(folder.substr(0, 3)),
                                                                        report::kRootOpen));
        for (std::size_t at = 3; level && at < folder.size();) {
            std::size_t end = folder.find(L'\\', at);
            if (end == std::wstring::npos) end = folder.size();
            level = platform::UniqueFile(os, os.OpenChild(level.get(), Utf16Text(folder.substr(at, end - at)),
                                                          report::kLevelOpen));
            at = end + 1;
        }
        if (!level) error = os.LastError();
        return level;
    }
    platform::UniqueFile OpenLevel(platform::FileHandle parent, const wchar_t* name, const platform::OpenRequest& request) {
        return platform::UniqueFile(os, os.OpenChild(parent, Utf16Text(name), request));
    }
};

std::wstring MakeFolders(const std::wstring& folder, std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
        if (!CreateDirectoryW(Join(folder, name).c_str(), nullptr)) {
            return ErrorText(L"making " + Join(folder, name), GetLastError());
        }
    }
    return {};
}

std::wstring PlantHeldAndControl(const std::wstring& folder) { return MakeFolders(folder, {L"held", L"control"}); }

// A rename by another open, which asks for DELETE, and a delete; the rename is undone.
struct Moves {
    DWORD renamed = ERROR_SUCCESS;
    DWORD removed = ERROR_SUCCESS;
};
Moves TryToMove(const std::wstring& path) {
    Moves moves;
    const std::wstring aside = path + L"-moved";
    if (MoveFileExW(path.c_str(), aside.c_str(), 0)) {
        MoveFileExW(aside.c_str(), path.c_str(), 0);
    } else {
        moves.renamed = GetLastError();
    }
    if (RemoveDirectoryW(path.c_str())) {
        CreateDirectoryW(path.c_str(), nullptr);
    } else {
        moves.removed = GetLastError();
    }
    return moves;
}

// held, opened through the launcher's own Win32 layer with the walk's request, must resist a
// rename and a delete by another open with a sharing violation; control, opened the same way but
// for its attributes alone, as the walk once held its levels, must not, or the case shows nothing.
Outcome CheckHeldLevel(const Context&, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    LauncherLayer layer;
    std::uint32_t error = 0;
    const platform::UniqueFile parent = layer.OpenFolder(folder, error);
    if (!parent) return CannotPrepare(ErrorText(L"the case's folder, opened as the walk opens it", error));
    platform::OpenRequest attributesOnly = report::kLevelOpen;
    attributesOnly.access &= ~platform::kAccessTraverse;
    const platform::UniqueFile control = layer.OpenLevel(parent.get(), L"control", attributesOnly);
    const platform::UniqueFile held = layer.OpenLevel(parent.get(), L"held", report::kLevelOpen);
    if (!control || !held) {
        return CannotPrepare(ErrorText(L"the folders, opened as the walk opens them", layer.os.LastError()));
    }
    const Moves free = TryToMove(Join(folder, L"control"));
    if (free.renamed != ERROR_SUCCESS || free.removed != ERROR_SUCCESS) {
        return CannotPrepare(L"a folder held for its attributes alone could not be moved either (rename error " +
                             std::to_wstring(free.renamed) + L", delete error " + std::to_wstring(free.removed) +
                             L"): nothing tells the walk's hold apart");
    }
    const Moves pinned = TryToMove(Join(folder, L"held"));
    const std::wstring seen = L"held through the launcher's Win32 layer as the walk holds it: rename error " +
                              std::to_wstring(pinned.renamed) + L", delete error " + std::to_wstring(pinned.removed) +
                              L"; held for its attributes alone: renamed and removed";
    if (pinned.renamed == ERROR_SHARING_VIOLATION && pinned.removed == ERROR_SHARING_VIOLATION) return Pass(seen);
    if (pinned.renamed == ERROR_SUCCESS || pinned.removed == ERROR_SUCCESS) return Fail(seen);
    return CannotPrepare(seen + L": refused, but not by the sharing check");
}

// behind\keep.txt, and the empty folders lvl (to become a junction to behind) and plain.
std::wstring PlantLevels(const std::wstring& folder) {
    std::wstring why = MakeFolders(folder, {L"behind", L"lvl", L"plain"});
    if (why.empty() && !WriteNewFile(Join(folder, L"behind\\keep.txt"), kKept)) why = L"could not write behind\\keep.txt";
    return why;
}

// Where a folder made through a held handle went, read through the handle that made it (its
// path from the volume's root, MS-FSA 2.1.5.12.19): a path by name would lead through the junction.
std::wstring WhereMade(LauncherLayer& layer, platform::FileHandle made) {
    const std::optional<std::u16string> name = layer.os.QueryName(made);
    if (!name) return ErrorText(L"somewhere its name cannot tell", layer.os.LastError());
    const std::wstring path(name->begin(), name->end());
    const auto endsWith = [&path](const std::wstring& tail) {
        return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (endsWith(L"\\behind\\new") || endsWith(L"\\behind\\bare")) return L"behind the junction";
    if (endsWith(L"\\lvl\\new") || endsWith(L"\\lvl\\bare")) return L"in the folder itself";
    return L"at " + path;
}

// What this machine does with an open made relative to a held folder that became a junction.
struct Reading {
    std::optional<Outcome> stopped;   // not prepared, or a failure before any reading
    std::wstring withFlag;            // "refused", "in the folder itself", "behind the junction", ...
    std::wstring evidence;
};

// lvl is held through the launcher's own Win32 layer as the walk holds a checked level, then made
// a junction to behind through an open for its attributes, which the hold cannot keep out. A
// folder is made through the held handle as the walk makes one (OBJ_DONT_REPARSE), and one
// without the flag, whose place is evidence only.
Reading ReadJunctionAfterCheck(const Case& self, const std::wstring& folder) {
    Reading reading;
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) {
        reading.stopped = CannotPrepare(why);
        return reading;
    }
    LauncherLayer layer;
    std::uint32_t error = 0;
    const platform::UniqueFile parent = layer.OpenFolder(folder, error);
    const platform::UniqueFile plain = parent ? layer.OpenLevel(parent.get(), L"plain", report::kLevelOpen)
                                              : platform::UniqueFile(layer.os, platform::kNoFile);
    const platform::UniqueFile lvl = parent ? layer.OpenLevel(parent.get(), L"lvl", report::kLevelOpen)
                                            : platform::UniqueFile(layer.os, platform::kNoFile);
    if (!plain || !lvl) {
        reading.stopped = CannotPrepare(ErrorText(L"the folders, opened as the walk opens them",
                                                  parent ? layer.os.LastError() : error));
        return reading;
    }
    // The control: through a plain held folder the walk's create works, so the flag is taken.
    const platform::UniqueFile made(layer.os, layer.os.CreateChildDirectory(plain.get(), u"made", report::kMadeLevel, {}));
    if (!made) {
        const std::uint32_t refused = layer.os.LastError();
        reading.stopped = CannotPrepare(refused == ERROR_INVALID_PARAMETER
                                            ? L"this Windows refuses OBJ_DONT_REPARSE (error 87): the launcher refuses "
                                              L"every report path here"
                                            : ErrorText(L"the walk's create in a plain held folder", refused));
        return reading;
    }
    const std::wstring junction = TurnIntoJunction(Join(folder, L"lvl"), Join(folder, L"behind"));
    if (!junction.empty()) {
        reading.stopped = CannotPrepare(junction);
        return reading;
    }
    const platform::UniqueFile withFlag(layer.os, layer.os.CreateChildDirectory(lvl.get(), u"new", report::kMadeLevel, {}));
    const std::uint32_t withFlagError = withFlag ? 0 : layer.os.LastError();
    platform::OpenRequest withoutFlag = report::kMadeLevel;
    withoutFlag.dontReparse = false;
    const platform::UniqueFile bare(layer.os, layer.os.CreateChildDirectory(lvl.get(), u"bare", withoutFlag, {}));
    const std::uint32_t bareError = bare ? 0 : layer.os.LastError();
    if (withFlag) {
        reading.withFlag = WhereMade(layer, withFlag.get());
    } else if (withFlagError == platform::kErrorReparsePointEncountered) {
        reading.withFlag = L"refused";
    } else {
        reading.withFlag = ErrorText(L"refused otherwise", withFlagError);
    }
    // Whatever was made goes again through its own handle: one made inside the junction's own
    // folder could not be removed by name.
    for (const platform::UniqueFile* folderMade : {&withFlag, &bare}) {
        if (*folderMade) layer.os.MarkForDeletion(folderMade->get());
    }
    reading.evidence = L"with OBJ_DONT_REPARSE: " +
                       (withFlag ? L"made " + reading.withFlag : ErrorText(L"refused", withFlagError)) +
                       L"; without it: " + (bare ? L"made " + WhereMade(layer, bare.get()) : ErrorText(L"refused", bareError));
    return reading;
}

// The reading on its own line: "behind the junction" fails; "refused" and "in the folder itself"
// are each what the launcher is built to be safe under, and are reported.
Outcome CheckJunctionReading(const Context&, const Case& self, const std::wstring& folder) {
    const Reading reading = ReadJunctionAfterCheck(self, folder);
    if (reading.stopped) return *reading.stopped;
    if (reading.withFlag == L"behind the junction") return Fail(reading.evidence);
    if (reading.withFlag == L"refused" || reading.withFlag == L"in the folder itself") {
        return Pass(reading.withFlag + L" (" + reading.evidence + L")");
    }
    return CannotPrepare(L"neither reading: " + reading.evidence);
}

// The same through the launcher's own layer, then the launcher itself, given a path through lvl
// as it now stands (an administrators' junction whose list lets Users write it, as after a user
// made an administrator's folder under C:\ProgramData one), writes nothing. That half shows the
// link rule only: the junction stands before the launcher starts, and nothing here can pause the
// launcher between its look at a level and its next open through it.
Outcome CheckJunctionAfterCheck(const Context& context, const Case& self, const std::wstring& folder) {
    const Reading reading = ReadJunctionAfterCheck(self, folder);
    if (reading.stopped) return *reading.stopped;
    if (reading.withFlag == L"behind the junction") return Fail(reading.evidence);
    const std::wstring listed = SetOwnerAndList(Join(folder, L"lvl"), kAdministratorsSid, kUsersMayWriteSddl);
    if (!listed.empty()) return CannotPrepare(listed);
    const Snapshot before = TakeSnapshot(folder);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, Join(folder, self.report), exitCode)) return *stopped;
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    if (!changed.empty()) return Fail(reading.evidence + L"; the launcher: " + changed);
    return Pass(reading.evidence + L"; the launcher wrote nothing through lvl (the link rule: the junction stood before "
                L"it started)");
}

}  // namespace

std::vector<Case> HeldLevelCases() {
    return {
        {L"held-level-rename", CheckHeldLevel, PlantHeldAndControl, L""},
        {L"junction-after-check", CheckJunctionAfterCheck, PlantLevels, L"lvl\\x\\status.txt", Kind::Refusal},
        {L"junction-after-check-reading", CheckJunctionReading, PlantLevels, L"", Kind::Info},
    };
}

}  // namespace verify
