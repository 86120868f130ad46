#include "ReportReplaceCases.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>

#include "Acl.h"
#include "Files.h"
#include "Handles.h"
#include "Launch.h"
#include "PathWalkCases.h"
#include "Text.h"

namespace verify {
namespace {

constexpr wchar_t kNewFilePrefix[] = L"~ppkg-launcher-";
// A report's own list that the launcher's would never give: everyone may read it.
constexpr wchar_t kEveryoneMayReadSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)";

// The line that goes with the exit code: "Not installed" with 1; a Version= line, or an empty
// report for a version the report cannot hold, with 0.
bool LineGoesWithExit(const std::string& bytes, DWORD exitCode) {
    if (exitCode == 1) return bytes == "Not installed\n";
    return bytes.empty() || (bytes.rfind("Version=", 0) == 0 && bytes.find('\n') == bytes.size() - 1);
}

// The launcher's new files, left under their temporary names.
std::wstring NewFileLeft(const Snapshot& entries) {
    for (const Entry& e : entries) {
        if (e.name.rfind(kNewFilePrefix, 0) == 0) return L"the launcher's new file " + e.name + L" was left behind";
    }
    return {};
}

std::wstring PlantReport(const std::wstring& folder) {
    return WriteNewFile(Join(folder, L"status.txt"), kKept) ? std::wstring() : ErrorText(L"writing status.txt", GetLastError());
}

// A report whose own list lets everyone read it, which the launcher's would never grant.
std::wstring PlantReportWithOwnList(const std::wstring& folder) {
    const std::wstring why = PlantReport(folder);
    return why.empty() ? SetOwnerAndList(Join(folder, L"status.txt"), kAdministratorsSid, kEveryoneMayReadSddl) : why;
}

// Volume and file index of the file a path names itself.
std::optional<BY_HANDLE_FILE_INFORMATION> Identity(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
    return info;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// What the case planted: status.txt and the file it was before the launcher ran, or why the
// case stops here.
struct Prepared {
    std::wstring report;
    BY_HANDLE_FILE_INFORMATION earlier{};
    std::optional<Outcome> stopped;
};
Prepared PrepareReport(const Case& self, const std::wstring& folder) {
    Prepared prepared{Join(folder, L"status.txt"), {}, std::nullopt};
    const std::wstring why = self.prepare(folder);
    const std::optional<BY_HANDLE_FILE_INFORMATION> earlier = why.empty() ? Identity(prepared.report) : std::nullopt;
    if (!why.empty()) {
        prepared.stopped = CannotPrepare(why);
    } else if (!earlier) {
        prepared.stopped = CannotPrepare(ErrorText(L"reading the report's file index", GetLastError()));
    } else {
        prepared.earlier = *earlier;
    }
    return prepared;
}

// status.txt marked read-only: the rename's replace goes only where a delete would, and a
// read-only target refuses it unless FILE_RENAME_IGNORE_READONLY_ATTRIBUTE is asked for (the
// FILE_RENAME_INFORMATION page), which the launcher never asks. The control: a file of this
// program's own, renamed over it the same way, must be refused too, or this system replaces
// read-only files anyway (Wine does, as root) and the case shows nothing.
std::wstring PlantReadOnlyReport(const std::wstring& folder) {
    const std::wstring why = PlantReport(folder);
    if (!why.empty()) return why;
    const std::wstring report = Join(folder, L"status.txt");
    if (!SetFileAttributesW(report.c_str(), FILE_ATTRIBUTE_READONLY)) {
        return ErrorText(L"marking status.txt read-only", GetLastError());
    }
    const std::wstring control = Join(folder, L"control.tmp");
    if (!WriteNewFile(control, "control\n")) return ErrorText(L"writing control.tmp", GetLastError());
    if (MoveFileExW(control.c_str(), report.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return L"a rename over a read-only file was not refused here (control.tmp replaced status.txt)";
    }
    const DWORD refused = GetLastError();
    if (refused != ERROR_ACCESS_DENIED) return ErrorText(L"the control rename over status.txt", refused);
    return DeleteFileW(control.c_str()) ? std::wstring() : ErrorText(L"removing control.tmp", GetLastError());
}

// The launcher runs while status.txt stands as the case planted it, held open by this program when
// `holdOpen`: the rename must be refused, the earlier bytes stay in the same file, and the
// launcher's new file goes again.
Outcome LeftAsItWas(const Context& context, const Case& self, const std::wstring& folder, bool holdOpen) {
    const Prepared prepared = PrepareReport(self, folder);
    if (prepared.stopped) return *prepared.stopped;
    const std::wstring& report = prepared.report;
    const Snapshot before = TakeSnapshot(folder);
    DWORD exitCode = 0;
    {
        // Shared every way, as a program reading the report would hold it (MS-FSCC 2.4.42: the
        // target was open).
        UniqueFile reader;
        if (holdOpen) {
            reader = UniqueFile(CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!reader) return CannotPrepare(ErrorText(L"opening the report to hold it", GetLastError()));
        }
        if (const std::optional<Outcome> stopped = RunStatus(context, report, exitCode)) return *stopped;
    }
    const Snapshot after = TakeSnapshot(folder);
    const std::wstring left = NewFileLeft(after);
    if (!left.empty()) return Fail(left);
    const std::wstring changed = FirstDifference(before, after);
    if (!changed.empty()) return Fail(changed);
    const std::optional<BY_HANDLE_FILE_INFORMATION> now = Identity(report);
    if (!now || !SameFile(prepared.earlier, *now)) return Fail(L"the report is another file now");
    return Pass(L"exit " + std::to_wstring(exitCode) + (holdOpen ? L"; the report held open" : L"; the read-only report") +
                L" kept its bytes and file");
}

Outcome CheckHeldOpen(const Context& context, const Case& self, const std::wstring& folder) {
    return LeftAsItWas(context, self, folder, true);
}

Outcome CheckReadOnly(const Context& context, const Case& self, const std::wstring& folder) {
    return LeftAsItWas(context, self, folder, false);
}

// The list and owner of the entry a path names itself, read through a handle to it.
std::optional<AccessList> ListOf(const std::wstring& path, std::wstring& sddl) {
    const UniqueFile entry(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    AccessList list;
    if (!entry || !ReadAccessList(entry.get(), list, sddl)) return std::nullopt;
    return list;
}

bool SameEntries(const AccessList& a, const AccessList& b) {
    const auto same = [](const AceEntry& x, const AceEntry& y) {
        return x.type == y.type && x.objectInherit == y.objectInherit && x.containerInherit == y.containerInherit &&
               x.noPropagate == y.noPropagate && x.inheritOnly == y.inheritOnly && x.inherited == y.inherited &&
               x.mask == y.mask && x.sid == y.sid;
    };
    return a.present == b.present && a.isProtected == b.isProtected &&
           std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), b.entries.end(), same);
}

// status.txt with a list of its own (everyone may read it, which the report's own list would not
// grant): the new file that replaces it must have exactly that list, read back through a handle,
// and the owner of the account the launcher ran as.
Outcome CheckListKept(const Context& context, const Case& self, const std::wstring& folder) {
    const Prepared prepared = PrepareReport(self, folder);
    if (prepared.stopped) return *prepared.stopped;
    const std::wstring& report = prepared.report;
    std::wstring earlierText;
    const std::optional<AccessList> earlier = ListOf(report, earlierText);
    if (!earlier) return CannotPrepare(ErrorText(L"reading the report's list", GetLastError()));
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, report, exitCode)) return *stopped;
    const std::optional<BY_HANDLE_FILE_INFORMATION> now = Identity(report);
    if (!now || SameFile(prepared.earlier, *now)) return Fail(L"the report was not replaced by a new file");
    std::wstring nowText;
    const std::optional<AccessList> list = ListOf(report, nowText);
    if (!list) return Fail(ErrorText(L"the new report's list cannot be read", GetLastError()));
    if (!SameEntries(*earlier, *list)) return Fail(L"the new report has " + nowText + L", the earlier one had " + earlierText);
    const std::wstring owner = DefaultOwnerSid();
    if (list->owner != owner) return Fail(L"the new report is owned by " + list->owner + L", not " + owner);
    return Pass(L"the new report has the earlier one's list " + nowText);
}

}  // namespace

// The launcher must replace status.txt: a new file with the line that goes with the exit code,
// one name of its own, while behind\keep.txt keeps its bytes and loses its second name. A
// launcher that wrote into the report would change keep.txt; one that wrote nothing would leave
// the link.
Outcome CheckReplacedHardLink(const Context& context, const Case& self, const std::wstring& folder) {
    const Prepared prepared = PrepareReport(self, folder);
    if (prepared.stopped) return *prepared.stopped;
    const std::wstring& report = prepared.report;
    Snapshot expected = TakeSnapshot(folder);
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunStatus(context, report, exitCode)) return *stopped;
    const std::optional<std::string> bytes = ReadWholeFile(report);
    if (!bytes) return Fail(L"no report at " + report);
    const std::optional<BY_HANDLE_FILE_INFORMATION> now = Identity(report);
    if (!now || SameFile(prepared.earlier, *now)) {
        return Fail(*bytes == kKept ? L"nothing replaced the report" : L"the report was written into, not replaced");
    }
    if (!LineGoesWithExit(*bytes, exitCode)) {
        return Fail(L"exit " + std::to_wstring(exitCode) + L" but the report reads \"" + Printable(*bytes) + L"\"");
    }
    // What the folder must hold now: the report with its one name, keep.txt with its bytes and one name.
    for (Entry& e : expected) {
        if (e.name == L"status.txt") e.bytes = *bytes;
        if (e.name == L"status.txt" || e.name == L"behind\\keep.txt") e.links = 1;
    }
    const std::wstring changed = FirstDifference(expected, TakeSnapshot(folder));
    if (!changed.empty()) return Fail(changed);
    return Pass(L"exit " + std::to_wstring(exitCode) + L"; a new file took the name, behind\\keep.txt kept its bytes");
}

std::vector<Case> ReportReplaceCases() {
    return {
        {L"report-held-open", CheckHeldOpen, PlantReport, L"status.txt", Kind::Refusal},
        {L"report-read-only", CheckReadOnly, PlantReadOnlyReport, L"status.txt", Kind::Refusal},
        {L"report-list-kept", CheckListKept, PlantReportWithOwnList, L"status.txt"},
    };
}

}  // namespace verify
