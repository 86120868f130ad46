#include "report/StatusReportWriter.h"

#include <cstdint>
#include <optional>

#include "platform/Owners.h"
#include "platform/Tracing.h"
#include "report/PathWalk.h"
#include "report/ReportPath.h"
#include "report/ReportReplace.h"
#include "report/ReportSecurity.h"

namespace report {
namespace {

using platform::TraceText;
constexpr std::uint64_t kKeywords = platform::kTraceReportPath;

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

bool Write(platform::Platform& os, const std::u16string& given, std::string_view text) {
    const ReportSecurity security(os);
    if (!security.Built()) {
        platform::EmitCallFailed(os, kKeywords, "BuildDescriptor");
        return false;
    }

    const std::u16string path = AnchorBareFileName(AsWideCString(given));
    const std::optional<std::u16string> base = BaseFor(os, path);
    if (!base) return false;
    const std::optional<ReportPlan> plan = PlanReportPath(path, *base);
    if (!plan) {
        TraceRefusal(os, platform::TraceWide("Level", path),
                     "not a file path the walk takes: no file name, a device or stream, an unknown root, or longer "
                     "than 259 characters");
        return false;
    }
    platform::Emit(os, "ReportPathPlanned", platform::TraceLevel::Verbose, kKeywords,
                   {platform::TraceWide("Path", path), platform::TraceWide("Root", plan->root),
                    platform::TraceNumber("Levels", static_cast<std::uint32_t>(plan->levels.size())),
                    platform::TraceWide("File", plan->file)});

    PathWalk walk(os, security.Attributes());
    return walk.OpenLevels(*plan) &&
           ReplaceReport(os, walk, plan->file, text.substr(0, text.find('\0')), security.Attributes());
}

}  // namespace

void WriteStatusReport(platform::Platform& os, const std::u16string& path, std::string_view text) {
    const bool written = Write(os, path, text);
    const std::size_t bytes = written ? text.substr(0, text.find('\0')).size() : 0;
    // One level per event name: a report not written is an event of its own.
    platform::Emit(os, written ? "StatusReport" : "StatusReportNotWritten",
                   written ? platform::TraceLevel::Information : platform::TraceLevel::Error, kKeywords,
                   {platform::TraceWide("Path", path), TraceText("Outcome", written ? "written" : "not written"),
                    platform::TraceSize("Bytes", bytes)});
}

}  // namespace report
