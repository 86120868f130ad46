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
// through the handle of the level above and held until the walk ends, shared for reading and
// writing but never for deleting, so nobody can rename or replace a level once it has been
// looked at: what was checked is what the next step goes through. A link is followed only when
// it can be trusted (LinkTrust.h), by reading its target and walking that from its own root
// under the same rules; a missing level is made through the handle of its parent, and undone
// through its own.
namespace report {

// The trace's word on a refused report path: the level, why, and for a link its kind and who
// made it untrustworthy. One layout wherever the path is refused.
void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link = {}, std::u16string_view who = {});

// Links followed on one path at most, as Windows itself allows.
inline constexpr int kMaxLinksFollowed = 63;

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
    // trusted or read ends the walk. When the walk ends in the directory part, the levels it
    // made are removed again, the deepest first, each only while it is empty.
    bool OpenLevels(const ReportPlan& plan);

    // The report file inside the last level: opened for writing as itself, after it has been
    // made, empty and under the walk's descriptor, when nothing was there. kNoFile on failure.
    platform::FileHandle OpenReport(const std::u16string& name);

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
    std::uint32_t linkTag_ = 0;         // the reparse tag of the link Step stopped at
    int rootsEntered_ = 0;
    int linksFollowed_ = 0;
};

}  // namespace report
