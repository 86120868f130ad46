#include "report/StatusReportWriter.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/Owners.h"
#include "platform/Tracing.h"
#include "report/PathWalk.h"
#include "report/ReportPath.h"
#include "report/ReportSecurity.h"

namespace report {
namespace {

using platform::TraceText;
constexpr std::uint64_t kKeywords = platform::kTraceReportPath;

// What became of the report, for the trace's last word on it.
enum class Written : std::uint8_t { No, Yes, Emptied, CutShort, OldEndFollows };

std::string_view WrittenText(Written written) {
    switch (written) {
        case Written::No: return "not written";
        case Written::Yes: return "written";
        case Written::Emptied: return "left empty: the write failed";
        case Written::CutShort: return "cut short: the write failed and the file could not be rewound";
        case Written::OldEndFollows: return "written, but the end of an earlier, longer report may follow it";
    }
    return {};
}

// The directory a path that is not fully qualified is resolved against; empty when none is
// needed, nullopt when the one needed cannot be read.
std::optional<std::u16string> BaseFor(platform::Platform& os, std::u16string_view path) {
    const Base base = BaseOf(path);
    std::optional<std::u16string> directory;
    switch (base.kind) {
        case BaseKind::None: return std::u16string();
        case BaseKind::CurrentDirectory:
            directory = os.CurrentDirectory();
            if (!directory) platform::EmitCallFailed(os, kKeywords, "CurrentDirectory");
            return directory;
        case BaseKind::DriveDirectory:
            directory = os.DriveDirectory(base.drive);
            if (!directory) platform::EmitCallFailed(os, kKeywords, "DriveDirectory");
            return directory;
    }
    return std::nullopt;
}

std::string_view UnsafeText(const platform::HandleInfo& info) {
    if ((info.attributes & platform::kAttributeReparsePoint) != 0) {
        return "the report is a link or other reparse point, made or swapped in before the open";
    }
    if ((info.attributes & platform::kAttributeDirectory) != 0) return "the report is a directory";
    return "the report has another hard link, through which the write would reach another name";
}

// A report that fails its checks is not written. One this walk made goes again, through its own
// handle, and then the levels made for it.
Written Abandon(platform::Platform& os, PathWalk& walk, platform::UniqueFile& file, bool made,
                const platform::TraceField& level) {
    if (made && !os.MarkForDeletion(file.get())) platform::EmitCallFailed(os, kKeywords, "MarkForDeletion", {level});
    file.reset();
    walk.Undo();
    return Written::No;
}

// The handle itself is checked before anything is written: what stands at the name may have
// been swapped since the walk looked at the folder.
Written WriteThrough(platform::Platform& os, PathWalk& walk, const std::u16string& name, ReportFile opened,
                     std::string_view bytes) {
    platform::UniqueFile file(os, opened.handle);
    if (!file) return Written::No;
    const platform::TraceField level = platform::TracePath("Level", walk.Here().root, walk.Here().names, name);
    const std::optional<platform::HandleInfo> info = os.QueryHandle(file.get());
    if (!info) {
        platform::EmitCallFailed(os, kKeywords, "QueryHandle", {level});
        return Abandon(os, walk, file, opened.made, level);
    }
    if (!IsSafeReportFile(*info)) {
        TraceRefusal(os, level, UnsafeText(*info));
        return Abandon(os, walk, file, opened.made, level);
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return Abandon(os, walk, file, opened.made, level);

    Written written = Written::Yes;
    // A text cut short could read as a report of another version: after a failed write the
    // file is left empty instead.
    if (!os.WriteBytes(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()))) {
        platform::EmitCallFailed(os, kKeywords, "WriteBytes", {level});
        written = Written::Emptied;
        if (!os.RewindFile(file.get())) {
            platform::EmitCallFailed(os, kKeywords, "RewindFile", {level});
            written = Written::CutShort;
        }
    }
    // Whatever the write did, nothing of an earlier, longer report may follow it.
    if (!os.EndFileHere(file.get())) {
        platform::EmitCallFailed(os, kKeywords, "EndFileHere", {level});
        if (written == Written::Yes) written = Written::OldEndFollows;
    }
    return written;
}

Written Write(platform::Platform& os, const std::u16string& given, std::string_view text) {
    const ReportSecurity security(os);
    if (!security.Built()) {
        platform::EmitCallFailed(os, kKeywords, "BuildDescriptor");
        return Written::No;
    }

    const std::u16string path = AnchorBareFileName(AsWideCString(given));
    const std::optional<std::u16string> base = BaseFor(os, path);
    if (!base) return Written::No;
    const std::optional<ReportPlan> plan = PlanReportPath(path, *base);
    if (!plan) {
        TraceRefusal(os, platform::TraceWide("Level", path),
                     "not a file path the walk takes: no file name, a device or stream, an unknown root, or longer "
                     "than 259 characters");
        return Written::No;
    }
    platform::Emit(os, "ReportPathPlanned", platform::TraceLevel::Verbose, kKeywords,
                   {platform::TraceWide("Path", path), platform::TraceWide("Root", plan->root),
                    platform::TraceNumber("Levels", static_cast<std::uint32_t>(plan->levels.size())),
                    platform::TraceWide("File", plan->file)});

    PathWalk walk(os, security.Attributes());
    if (!walk.OpenLevels(*plan)) return Written::No;
    return WriteThrough(os, walk, plan->file, walk.OpenReport(plan->file), text.substr(0, text.find('\0')));
}

}  // namespace

bool IsSafeReportFile(const platform::HandleInfo& info) {
    return (info.attributes & (platform::kAttributeReparsePoint | platform::kAttributeDirectory)) == 0 &&
           info.links == 1;
}

void WriteStatusReport(platform::Platform& os, const std::u16string& path, std::string_view text) {
    const Written written = Write(os, path, text);
    const std::size_t bytes = written == Written::Yes ? text.substr(0, text.find('\0')).size() : 0;
    // One level per event name: a report not written is an event of its own.
    platform::Emit(os, written == Written::Yes ? "StatusReport" : "StatusReportNotWritten",
                   written == Written::Yes ? platform::TraceLevel::Information : platform::TraceLevel::Error, kKeywords,
                   {platform::TraceWide("Path", path), TraceText("Outcome", WrittenText(written)),
                    platform::TraceSize("Bytes", bytes)});
}

}  // namespace report
