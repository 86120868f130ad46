#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Owners.h"
#include "platform/Platform.h"
#include "report/ReportPath.h"

// The report path walked through handles from its root down. The root must be a local disk's
// volume root, decided from the drive's object-manager link before anything is opened and from
// the volume itself after. Each level is opened as itself through the handle of the level above,
// with OBJ_DONT_REPARSE, and held until the walk ends, opened for traverse and shared for reading
// and writing but never for deleting: an open with traverse access takes part in the share-access
// check (MS-FSA 2.1.5.1.2.2), so nobody can open a held level for DELETE, which a rename or delete
// needs. A link of any kind at any level refuses the path: nothing is followed. A missing level
// is made through the handle of its parent, and undone through its own.
namespace report {

// The trace's word on a refused report path: the level, why, and for a link its kind. One layout
// wherever the path is refused.
void TraceRefusal(platform::Platform& os, const platform::TraceField& level, std::string_view reason,
                  std::string_view link = {});

// What each open of the walk asks for. Traverse is the least right that makes a held level take
// part in the share-access check (read, write, append, execute or delete, MS-FSA 2.1.5.1.2.2), and
// a level its list lets be traversed can be walked, as a path through it always could. OBJ_DONT_REPARSE on every open made through a held handle: a
// level checked as a plain folder that becomes a junction afterwards (its empty folder needs only
// write-data or write-attributes for that, MS-FSA 2.1.5.10.37) fails the open instead of leading
// it away.
inline constexpr platform::OpenRequest kRootOpen{
    platform::kAccessReadAttributes | platform::kAccessReadControl | platform::kAccessSynchronize |
        platform::kAccessTraverse,
    platform::kShareRead | platform::kShareWrite, false};
inline constexpr platform::OpenRequest kLevelOpen{kRootOpen.access, kRootOpen.share, true};
// A level the walk makes can be removed again through its own handle.
inline constexpr platform::OpenRequest kMadeLevel{kLevelOpen.access | platform::kAccessDelete, kLevelOpen.share, true};

// Why an open or create through a held level failed, where its error tells more than the call;
// `otherwise` when it does not.
std::string_view OpenRefusal(std::uint32_t error, std::string_view otherwise);

// The link kind a reparse tag with the name-surrogate bit stands for, for the trace.
std::string_view LinkKind(std::uint32_t tag);

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
    // allows it; one that cannot be opened, is no directory or is a link ends the walk, and the
    // levels it made are removed again.
    bool OpenLevels(const ReportPlan& plan);

    // The last level, where the report goes; kNoFile before OpenLevels succeeded.
    platform::FileHandle Folder() const { return current_; }

    // Removes the levels this walk made, the deepest first, each only while it is empty, and
    // closes every handle. For a report that was not written, after its own file is gone.
    void Undo() { RemoveMade(); }

    // Where the walk stands: the last level it entered.
    const Location& Here() const { return here_; }

    // Trace events for the entry `name` inside the level the walk stands in (the level itself
    // when `name` is empty): a step at Verbose, a refusal at Error.
    void NoteLevel(std::u16string_view name, std::string_view step);
    void Refuse(std::u16string_view name, std::string_view reason, std::string_view link = {});

private:
    struct Held {
        platform::UniqueFile handle;
        bool made;
        // Where a made level stands in here_, for the trace: its depth below the root. Nothing is
        // copied or formatted for it.
        std::size_t depth = 0;
    };

    bool Enter(const std::u16string& root);
    bool OnLocalDisk(const std::u16string& root);
    bool Step(const std::u16string& name, bool creatable);
    void Hold(platform::FileHandle handle, bool made);
    void RemoveMade();
    void Release();

    platform::Platform& os_;
    const platform::SecurityAttributes& security_;
    std::vector<Held> held_;           // everything opened, in order; none is closed before the end
    Location here_;                     // where the walk stands, as a path, for the trace
    platform::FileHandle current_ = platform::kNoFile;
};

}  // namespace report
