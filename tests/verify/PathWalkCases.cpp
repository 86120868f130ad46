#include "PathWalkCases.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Acl.h"
#include "Files.h"
#include "Launch.h"
#include "Links.h"
#include "Handles.h"
#include "Text.h"

namespace verify {
namespace {

// A standard user's SID (no account needs to stand behind it for it to own a file), and the
// Users group should a volume refuse it.
constexpr wchar_t kStandardUserSid[] = L"S-1-5-21-1004336348-1177238915-682003330-1001";
constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";

// Where the link stands on the report path, as the name of the case says: the report's name
// itself, its folder, two levels above its folder, the level above folders still to be made, or
// a level of the current directory a relative path is resolved against.
enum class Level { AtReport, AsFolder, Above, AboveWithSlashes, InChain, CurrentDirectory };

// One link planted in the case's folder: its name there and what it is.
enum class LinkKind { UserJunction, AdministratorsJunction, DirectoryLink, FileLink, DanglingLink };
struct Planted {
    const wchar_t* name;
    LinkKind kind;
    const wchar_t* what;
};
constexpr Planted kFolderLinks[] = {
    {L"uj", LinkKind::UserJunction, L"a standard user's junction"},
    {L"aj", LinkKind::AdministratorsJunction, L"an administrators' junction"},
    {L"dl", LinkKind::DirectoryLink, L"a directory symbolic link"},
};
constexpr Planted kReportLinks[] = {
    {L"uj", LinkKind::UserJunction, L"a standard user's junction"},
    {L"aj", LinkKind::AdministratorsJunction, L"an administrators' junction"},
    {L"dl", LinkKind::DirectoryLink, L"a directory symbolic link"},
    {L"fl", LinkKind::FileLink, L"a file symbolic link"},
    {L"dg", LinkKind::DanglingLink, L"a dangling symbolic link"},
};

// behind\keep.txt and behind\a\b, which the links lead to, and plain\a\b, the same levels as a
// plain folder for the control.
std::wstring PlantTargets(const std::wstring& folder) {
    for (const wchar_t* name : {L"behind", L"behind\\a", L"behind\\a\\b", L"plain", L"plain\\a", L"plain\\a\\b"}) {
        if (!CreateDirectoryW(Join(folder, name).c_str(), nullptr)) return ErrorText(L"making " + Join(folder, name), GetLastError());
    }
    return WriteNewFile(Join(folder, L"behind\\keep.txt"), kKept) ? std::wstring()
                                                                   : ErrorText(L"writing behind\\keep.txt", GetLastError());
}

std::wstring PlantLink(const std::wstring& folder, const Planted& link) {
    const std::wstring path = Join(folder, link.name);
    const std::wstring behind = Join(folder, L"behind");
    switch (link.kind) {
        case LinkKind::UserJunction: {
            const std::wstring why = MakeJunction(path, behind);
            return why.empty() ? OwnedByAStandardUser(path) : why;
        }
        case LinkKind::AdministratorsJunction: {
            const std::wstring why = MakeJunction(path, behind);
            return why.empty() ? SetOwnerAndList(path, kAdministratorsSid, kAdminsOnlySddl) : why;
        }
        case LinkKind::DirectoryLink: return MakeSymbolicLink(path, behind, true);
        case LinkKind::FileLink: return MakeSymbolicLink(path, Join(behind, L"keep.txt"), false);
        case LinkKind::DanglingLink: return MakeSymbolicLink(path, Join(behind, L"never.txt"), false);
    }
    return L"no such link";
}

std::wstring Slashed(std::wstring path) {
    std::replace(path.begin(), path.end(), L'\\', L'/');
    return path;
}

// The report path for the link or plain folder `name` at the level, and the folder the
// launcher runs in (the case's folder's parent, unless the level is the current directory's).
struct Run {
    std::wstring path;
    std::wstring directory;
};
Run RunFor(Level level, const Context& context, const std::wstring& folder, const std::wstring& name) {
    switch (level) {
        case Level::AtReport: return {Join(folder, name == L"plain" ? L"plain.txt" : name), context.folder};
        case Level::AsFolder: return {Join(folder, name + L"\\status.txt"), context.folder};
        case Level::Above: return {Join(folder, name + L"\\a\\b\\status.txt"), context.folder};
        case Level::AboveWithSlashes: return {Slashed(Join(folder, name + L"\\a\\b\\status.txt")), context.folder};
        case Level::InChain: return {Join(folder, name + L"\\missing\\status.txt"), context.folder};
        case Level::CurrentDirectory: return {L"b\\status.txt", Join(folder, name + L"\\a")};
    }
    return {};
}

std::optional<Outcome> RunIn(const Context& context, const Run& run, DWORD& exitCode) {
    Context in = context;
    in.folder = run.directory;
    return RunStatus(in, run.path, exitCode);
}

// Where the control's report lands, whichever separators and base its path has.
std::wstring ControlReport(Level level, const std::wstring& folder) {
    switch (level) {
        case Level::AtReport: return Join(folder, L"plain.txt");
        case Level::AsFolder: return Join(folder, L"plain\\status.txt");
        case Level::Above:
        case Level::AboveWithSlashes:
        case Level::CurrentDirectory: return Join(folder, L"plain\\a\\b\\status.txt");
        case Level::InChain: return Join(folder, L"plain\\missing\\status.txt");
    }
    return {};
}

// The control first: the same path through the plain folder must be written, with the line
// that goes with the exit code; then each link at the level, after which nothing in the case's
// folder, behind the links included, may have changed. A link this Windows cannot make (a
// symbolic link without the privilege) is named and left out; without any, nothing is shown.
Outcome CheckLinksRefused(const Context& context, const std::wstring& folder, Level level) {
    const std::wstring why = PlantTargets(folder);
    if (!why.empty()) return CannotPrepare(why);
    std::vector<Planted> links;
    std::wstring notMade;
    const auto plant = [&](const Planted& link) {
        const std::wstring failed = PlantLink(folder, link);
        if (failed.empty()) {
            links.push_back(link);
        } else {
            notMade += std::wstring(notMade.empty() ? L"" : L"; ") + link.what + L" could not be made: " + failed;
        }
    };
    if (level == Level::AtReport) {
        std::for_each(std::begin(kReportLinks), std::end(kReportLinks), plant);
    } else {
        std::for_each(std::begin(kFolderLinks), std::end(kFolderLinks), plant);
    }
    if (links.empty()) return CannotPrepare(notMade);

    const Run control = RunFor(level, context, folder, L"plain");
    DWORD exitCode = 0;
    if (const std::optional<Outcome> stopped = RunIn(context, control, exitCode)) return *stopped;
    const std::optional<std::string> bytes = ReadWholeFile(ControlReport(level, folder));
    const bool line = bytes && (exitCode == 1 ? *bytes == "Not installed\n"
                                              : bytes->empty() || bytes->rfind("Version=", 0) == 0);
    if (!line) {
        return CannotPrepare(L"its control " + control.path + L", through a plain folder, was not written: a refusal "
                             L"here would prove nothing");
    }
    std::wstring refused;
    for (const Planted& link : links) {
        const Snapshot before = TakeSnapshot(folder);
        if (const std::optional<Outcome> stopped = RunIn(context, RunFor(level, context, folder, link.name), exitCode)) {
            return *stopped;
        }
        const std::wstring changed = FirstDifference(before, TakeSnapshot(folder));
        if (!changed.empty()) return Fail(std::wstring(link.what) + L" at " + link.name + L": " + changed);
        refused += std::wstring(refused.empty() ? L"" : L", ") + link.what;
    }
    return Pass(L"refused: " + refused + L"; the control through a plain folder was written" +
                (notMade.empty() ? L"" : L"; " + notMade));
}

template <Level level>
Outcome CheckLevel(const Context& context, const Case&, const std::wstring& folder) {
    return CheckLinksRefused(context, folder, level);
}

}  // namespace

std::wstring OwnedByAStandardUser(const std::wstring& path) {
    std::wstring why = SetOwnerAndList(path, kStandardUserSid, kAdminsOnlySddl);
    // A volume that takes no unknown SID still takes the Users group, which is no administrator either.
    if (!why.empty()) why = SetOwnerAndList(path, kUsersSid, kAdminsOnlySddl);
    return why;
}

std::vector<Case> PathWalkCases() {
    return {
        // The links: uj, a junction a standard user owns; aj, one Administrators own with a list
        // only they may change; dl, a directory symbolic link; at the report's name also fl, a
        // file symbolic link, and dg, a dangling one. Each leads to behind, where keep.txt must
        // not change; the control is the same path through plain.
        {L"link-at-report", CheckLevel<Level::AtReport>, nullptr, L"uj"},
        {L"link-as-folder", CheckLevel<Level::AsFolder>, nullptr, L"uj\\status.txt"},
        {L"link-above", CheckLevel<Level::Above>, nullptr, L"uj\\a\\b\\status.txt"},
        {L"link-above-forward-slashes", CheckLevel<Level::AboveWithSlashes>, nullptr, L"uj/a/b/status.txt"},
        {L"link-in-chain", CheckLevel<Level::InChain>, nullptr, L"uj\\missing\\status.txt"},
        {L"link-current-directory", CheckLevel<Level::CurrentDirectory>, nullptr, L"b\\status.txt"},
    };
}

}  // namespace verify
