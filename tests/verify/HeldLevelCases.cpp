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
#include "platform/win32/SystemExport.h"
#include "report/PathWalk.h"

namespace verify {
namespace {

constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);

std::wstring Status(NTSTATUS status) {
    wchar_t text[16];
    wsprintfW(text, L"0x%08lX", static_cast<unsigned long>(status));
    return text;
}

// What one NtCreateFile answered, and its handle when it opened something.
struct NtOpen {
    NTSTATUS status = 0;
    UniqueFile handle;
};

// One open as the launcher's walk makes it, with the walk's own request (its access, sharing
// and OBJ_DONT_REPARSE, from the launcher's sources): `name` relative to `parent`, or the full
// NT name when there is no parent.
NtOpen OpenAsTheWalk(HANDLE parent, const std::wstring& name, const platform::OpenRequest& request, ULONG disposition,
                     ULONG options) {
    static const auto ntCreateFile = platform::win32::LoadedExport<NtCreateFileFunction>(L"ntdll.dll", "NtCreateFile");
    NtOpen result;
    if (ntCreateFile == nullptr) {
        result.status = kStatusInvalidParameter;
        return result;
    }
    UNICODE_STRING text{};
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    text.Buffer = const_cast<PWSTR>(name.c_str());   // NOLINT(cppcoreguidelines-pro-type-const-cast): only read
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = parent;
    attributes.ObjectName = &text;
    attributes.Attributes = OBJ_CASE_INSENSITIVE | (request.dontReparse ? OBJ_DONT_REPARSE : 0);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    result.status = ntCreateFile(&handle, request.access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 request.share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(result.status)) result.handle.reset(handle);
    return result;
}

// The case's folder as the walk holds a level above the one it looks at.
NtOpen OpenFolder(const std::wstring& folder) {
    return OpenAsTheWalk(nullptr, L"\\??\\" + folder, report::kRootOpen, FILE_OPEN, FILE_DIRECTORY_FILE);
}

// A level inside `parent`, opened as the walk opens one, as itself.
NtOpen OpenLevel(HANDLE parent, const std::wstring& name, const platform::OpenRequest& request) {
    return OpenAsTheWalk(parent, name, request, FILE_OPEN, FILE_OPEN_REPARSE_POINT);
}

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

// held, opened with the walk's request, must resist a rename and a delete by another open with
// a sharing violation; control, held for its attributes alone as the walk once held its levels,
// must not, or the case shows nothing.
Outcome CheckHeldLevel(const Context&, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    const NtOpen parent = OpenFolder(folder);
    if (!parent.handle) return CannotPrepare(L"the case's folder cannot be opened as the walk opens it: " + Status(parent.status));
    platform::OpenRequest attributesOnly = report::kLevelOpen;
    attributesOnly.access &= ~platform::kAccessTraverse;
    const NtOpen control = OpenLevel(parent.handle.get(), L"control", attributesOnly);
    const NtOpen held = OpenLevel(parent.handle.get(), L"held", report::kLevelOpen);
    if (!control.handle || !held.handle) {
        return CannotPrepare(L"the folders cannot be opened as the walk opens them: " + Status(control.status) + L", " +
                             Status(held.status));
    }
    const Moves free = TryToMove(Join(folder, L"control"));
    if (free.renamed != ERROR_SUCCESS || free.removed != ERROR_SUCCESS) {
        return CannotPrepare(L"a folder held for its attributes alone could not be moved either (rename error " +
                             std::to_wstring(free.renamed) + L", delete error " + std::to_wstring(free.removed) +
                             L"): nothing tells the walk's hold apart");
    }
    const Moves pinned = TryToMove(Join(folder, L"held"));
    const std::wstring seen = L"held as the walk holds it: rename error " + std::to_wstring(pinned.renamed) +
                              L", delete error " + std::to_wstring(pinned.removed) +
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

// Where a folder made through a held handle ended up: "behind", "in the folder itself", or "nowhere".
std::wstring WhereMade(const std::wstring& folder, const wchar_t* name) {
    if (LookAt(Join(Join(folder, L"behind"), name)).attributes != INVALID_FILE_ATTRIBUTES) return L"behind the junction";
    if (LookAt(Join(Join(folder, L"lvl"), name)).attributes != INVALID_FILE_ATTRIBUTES) return L"in the folder itself";
    return L"nowhere";
}

// lvl is held as the walk holds a checked level, then made a junction to behind through an open
// for its attributes, which the hold cannot keep out. A folder made through the held handle with
// the walk's OBJ_DONT_REPARSE must not land behind it; where one made without the flag lands is
// printed, for Windows documents nothing about it. Then the launcher itself, given a path
// through lvl as it now stands (an administrators' junction whose list lets Users write it, as
// after a user did this to an administrator's folder under C:\ProgramData), writes nothing.
Outcome CheckJunctionAfterCheck(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    const NtOpen parent = OpenFolder(folder);
    if (!parent.handle) return CannotPrepare(L"the case's folder cannot be opened as the walk opens it: " + Status(parent.status));
    const NtOpen plain = OpenLevel(parent.handle.get(), L"plain", report::kLevelOpen);
    const NtOpen lvl = OpenLevel(parent.handle.get(), L"lvl", report::kLevelOpen);
    if (!plain.handle || !lvl.handle) {
        return CannotPrepare(L"the folders cannot be opened as the walk opens them: " + Status(plain.status) + L", " +
                             Status(lvl.status));
    }
    // The control: through a plain held folder the walk's create works, so the flag is taken.
    const NtOpen made = OpenAsTheWalk(plain.handle.get(), L"made", report::kMadeLevel, FILE_CREATE,
                                      FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    if (made.status == kStatusInvalidParameter) {
        return CannotPrepare(L"this Windows refuses OBJ_DONT_REPARSE (" + Status(made.status) +
                             L"): the launcher refuses every report path here");
    }
    if (!made.handle) return CannotPrepare(L"the walk's create in a plain held folder failed: " + Status(made.status));
    const std::wstring junction = TurnIntoJunction(Join(folder, L"lvl"), Join(folder, L"behind"));
    if (!junction.empty()) return CannotPrepare(junction);

    const NtOpen withFlag = OpenAsTheWalk(lvl.handle.get(), L"new", report::kMadeLevel, FILE_CREATE,
                                          FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    platform::OpenRequest withoutFlag = report::kMadeLevel;
    withoutFlag.dontReparse = false;
    const NtOpen bare = OpenAsTheWalk(lvl.handle.get(), L"bare", withoutFlag, FILE_CREATE,
                                      FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    const std::wstring landed = WhereMade(folder, L"new");
    const std::wstring seen = L"with OBJ_DONT_REPARSE " + Status(withFlag.status) + L", made " + landed +
                              L"; without it " + Status(bare.status) + L", made " + WhereMade(folder, L"bare");
    if (landed == L"behind the junction") return Fail(seen);

    const std::wstring listed = SetOwnerAndList(Join(folder, L"lvl"), kAdministratorsSid, kUsersMayWriteSddl);
    if (!listed.empty()) return CannotPrepare(listed);
    const Snapshot before = TakeSnapshot(folder);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, Join(folder, self.report), exitCode)) return *stopped;
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    return changed.empty() ? Pass(seen + L"; the launcher wrote nothing") : Fail(seen + L"; the launcher: " + changed);
}

}  // namespace

std::vector<Case> HeldLevelCases() {
    return {
        {L"held-level-rename", CheckHeldLevel, PlantHeldAndControl, L""},
        {L"junction-after-check", CheckJunctionAfterCheck, PlantLevels, L"lvl\\x\\status.txt", Kind::Refusal},
    };
}

}  // namespace verify
