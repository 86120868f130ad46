#include "DriveCases.h"

#include <windows.h>

#include <winnetwk.h>

#include <optional>
#include <string>

#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "Text.h"
#include "platform/win32/SystemExport.h"

namespace verify {
namespace {

using AddConnectionFunction = DWORD(APIENTRY*)(LPNETRESOURCEW, LPCWSTR, LPCWSTR, DWORD);
using CancelConnectionFunction = DWORD(APIENTRY*)(LPCWSTR, DWORD, BOOL);

std::wstring PlantSub(const std::wstring& folder) {
    return CreateDirectoryW(Join(folder, L"sub").c_str(), nullptr) ? std::wstring()
                                                                   : ErrorText(L"making sub", GetLastError());
}

// A drive letter nobody uses in this logon session, from Z: down; empty when there is none.
std::wstring FreeDriveLetter() {
    const DWORD used = GetLogicalDrives();
    for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
        wchar_t link[8];
        if ((used & (1u << (letter - L'A'))) == 0 && QueryDosDeviceW((std::wstring(1, letter) + L":").c_str(), link, 8) == 0) {
            return std::wstring(1, letter) + L":";
        }
    }
    return {};
}

std::wstring LinkOf(const std::wstring& drive) {
    wchar_t link[1024];
    return QueryDosDeviceW(drive.c_str(), link, 1024) == 0 ? L"(none)" : std::wstring(link);
}

// The control, sub\status.txt by the folder's own path, must be written (and then goes); then the
// same file through `drive` must not be, and nothing in the case's folder may change.
Outcome RunThroughDrive(const Context& context, const std::wstring& folder, const std::wstring& drive,
                        const std::wstring& what) {
    const std::wstring direct = Join(folder, L"sub\\status.txt");
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, direct, exitCode)) return *stopped;
    if (!ReadWholeFile(direct)) {
        return CannotPrepare(L"its control " + direct + L" was not written: a refusal here would prove nothing");
    }
    if (!DeleteFileW(direct.c_str())) return CannotPrepare(ErrorText(L"removing the control's report", GetLastError()));
    const Snapshot before = TakeSnapshot(folder);
    if (const std::optional<Outcome> stopped = RunStatus(context, drive + L"\\status.txt", exitCode)) return *stopped;
    const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
    if (!changed.empty()) return Fail(what + L": " + changed);
    return Pass(what + L" refused, nothing written; the same folder by its own path was written");
}

// DefineDosDeviceW without DDD_RAW_TARGET_PATH, as subst makes a drive: the link names the
// folder. Removed again on every way out, by exact match, so that nothing else is taken away.
Outcome CheckSubstDrive(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    const std::wstring drive = FreeDriveLetter();
    if (drive.empty()) return CannotPrepare(L"no drive letter is free");
    const std::wstring target = Join(folder, L"sub");
    if (!DefineDosDeviceW(DDD_NO_BROADCAST_SYSTEM, drive.c_str(), target.c_str())) {
        return CannotPrepare(ErrorText(L"making " + drive + L" with DefineDosDeviceW", GetLastError()));
    }
    const std::wstring link = LinkOf(drive);
    const Outcome outcome = RunThroughDrive(context, folder, drive, drive + L" (" + link + L")");
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM, drive.c_str(),
                     target.c_str());
    return outcome;
}

// A drive mapped as `net use` maps one, to \\localhost and the administrative share of the case's
// own drive: the launcher must refuse it from its link, before anything reaches the server.
Outcome CheckMappedDrive(const Context& context, const Case& self, const std::wstring& folder) {
    const std::wstring why = self.prepare(folder);
    if (!why.empty()) return CannotPrepare(why);
    if (folder.size() < 3 || folder[1] != L':') return CannotPrepare(L"the scratch folder is not on a drive letter");
    const UniqueLibrary mpr(LoadLibraryExW(L"mpr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto add = platform::win32::ExportOf<AddConnectionFunction>(mpr.get(), "WNetAddConnection2W");
    const auto cancel = platform::win32::ExportOf<CancelConnectionFunction>(mpr.get(), "WNetCancelConnection2W");
    if (add == nullptr || cancel == nullptr) return CannotPrepare(ErrorText(L"loading mpr.dll", GetLastError()));
    const std::wstring drive = FreeDriveLetter();
    if (drive.empty()) return CannotPrepare(L"no drive letter is free");
    std::wstring share = L"\\\\localhost\\" + std::wstring(1, folder[0]) + L"$" + folder.substr(2) + L"\\sub";
    NETRESOURCEW resource{};
    resource.dwType = RESOURCETYPE_DISK;
    std::wstring local = drive;
    resource.lpLocalName = local.data();
    resource.lpRemoteName = share.data();
    const DWORD mapped = add(&resource, nullptr, nullptr, CONNECT_TEMPORARY);
    if (mapped != NO_ERROR) {
        return CannotPrepare(ErrorText(L"mapping " + drive + L" to " + share +
                                           L" (the Server service and the administrative shares must be on)",
                                       mapped));
    }
    const std::wstring link = LinkOf(drive);
    const Outcome outcome = RunThroughDrive(context, folder, drive, drive + L" mapped to " + share + L" (" + link + L")");
    cancel(drive.c_str(), 0, TRUE);
    return outcome;
}

}  // namespace

std::vector<Case> DriveCases() {
    return {
        {L"subst-drive", CheckSubstDrive, PlantSub, L"X:\\status.txt"},
        {L"mapped-drive", CheckMappedDrive, PlantSub, L"Y:\\status.txt"},
    };
}

}  // namespace verify
