#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Owners.h"
#include "platform/Platform.h"
#include "report/ReportPath.h"

// The report path walked through handles from its root down. Each level is opened as itself
// through the handle of the level above, with OBJ_DONT_REPARSE, and held until the walk ends,
// opened for traverse and shared for reading and writing but never for deleting: an open with
// traverse access takes part in the share-access check (MS-FSA 2.1.5.1.2.2), so nobody can open
// a held level for DELETE, which a rename or delete needs. A link is followed only when it can
// be trusted (LinkTrust.h), by reading its target and walking that from its own root under the
// same rules; a missing level is made through the handle of its parent, and undone through its
// own. Shares are refused: their server resolves every open by name again.
namespace report {

// The trace's word on a refused report path: the level, why, and for a link its kind and who
// made it untrustworthy. One layout wherever the path is refused.
void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link = {}, std::u16string_view who = {});

// Links followed on one path at most, as Windows itself allows.
inline constexpr int kMaxLinksFollowed = 63;

// What each open of the walk asks for. Traverse makes a held level take part in the
// share-access check; FILE_LIST_DIRECTORY would too, but the system's own junctions deny reading
// to everyone and let them be traversed (the "Junction Points" page of the VSS documentation). OBJ_DONT_REPARSE on every open made through a held handle: a level checked as a
// plain folder that becomes a junction afterwards (its empty folder needs only write-data or
// write-attributes for that, MS-FSA 2.1.5.10.37) fails the open instead of leading it away.
inline constexpr platform::OpenRequest kRootOpen{
    platform::kAccessReadAttributes | platform::kAccessReadControl | platform::kAccessSynchronize |
        platform::kAccessTraverse,
    platform::kShareRead | platform::kShareWrite, false};
inline constexpr platform::OpenRequest kLevelOpen{kRootOpen.access, kRootOpen.share, true};
// A level the walk makes can be removed again through its own handle.
inline constexpr platform::OpenRequest kMadeLevel{kLevelOpen.access | platform::kAccessDelete, kLevelOpen.share, true};
// The report: written through the handle that opened or made it, shared with nobody; one the
// walk made can be removed again through it.
inline constexpr platform::OpenRequest kReportOpen{
    platform::kAccessGenericWrite | platform::kAccessReadAttributes | platform::kAccessSynchronize, 0, true};
inline constexpr platform::OpenRequest kReportMade{kReportOpen.access | platform::kAccessDelete, 0, true};

// The report file as the walk opened it.
struct ReportFile {
    platform::FileHandle handle = platform::kNoFile;
    bool made = false;   // this walk made it: it may be removed again
};

class PathWalk {
public:
    PathWalk(platform::Platform& os, const platform::SecurityAttributes& security) : os_(os), security_(security) {}
    PathWalk(const PathWalk&) = delete;
    PathWalk& operator=(const PathWalk&) = delete;
    PathWalk(PathWalk&&) = delete;
    PathWalk& operator=(PathWalk&&) = delete;
    // Every handle the walk holds is closed, the deepest first.
    ~PathWalk() { Release(); }

    // Opens the root and every level of the plan. A level that is missing is made when the plan
    // allows it; one that cannot be opened, is no directory, or is a link that cannot be
    // trusted or read ends the walk, and the levels it made are removed again.
    bool OpenLevels(const ReportPlan& plan);

    // The report file inside the last level, opened as itself for writing, or made there, empty
    // and under the walk's descriptor, when nothing was there; either way the one handle the text
    // goes through. When neither works, the levels the walk made are removed again.
    ReportFile OpenReport(const std::u16string& name);

    // Removes the levels this walk made, the deepest first, each only while it is empty, and
    // closes every handle. For a report that failed its checks, after it is gone.
    void Undo() { RemoveMade(); }

    // Where the walk stands: the last level it entered.
    const Location& Here() const { return here_; }

private:
    struct Held {
        platform::UniqueFile handle;
        bool made;
        // Where a made level stands in here_, for the trace: its depth below the root entered
        // as the `entered`th. Nothing is copied or formatted for it.
        std::size_t depth = 0;
        int entered = 0;
    };

    enum class Stepped { Failed, Entered, AtLink };

    bool Enter(const std::u16string& root);
    bool Reach(const std::u16string& name, bool creatable);
    Stepped Step(const std::u16string& name, bool creatable);
    std::optional<Location> Follow(platform::FileHandle link, const std::u16string& name);
    bool PlacedByTrusted(const std::u16string& name, std::string_view kind);
    void Hold(platform::FileHandle handle, bool made);
    // Trace events for the entry `name` inside the level the walk stands in (the level itself
    // when `name` is empty): a step at Verbose, a refusal at Error.
    void NoteLevel(std::u16string_view name, std::string_view step);
    void Refuse(std::u16string_view name, std::string_view reason, std::string_view link = {},
                std::u16string_view who = {});
    void RemoveMade();
    void Release();

    platform::Platform& os_;
    const platform::SecurityAttributes& security_;
    std::vector<Held> held_;           // everything opened, in order; none is closed before the end
    Location here_;                     // where the walk stands, as a path: a relative link resolves from it
    platform::FileHandle current_ = platform::kNoFile;
    // The root last entered and the folders below it the walk stands in, down to the current one:
    // where a link met next stands.
    std::vector<platform::FileHandle> folders_;
    bool removableVolume_ = false;      // the root last entered lies on removable media
    std::uint32_t linkTag_ = 0;         // the reparse tag of the link Step stopped at
    int rootsEntered_ = 0;
    int linksFollowed_ = 0;
};

}  // namespace report
