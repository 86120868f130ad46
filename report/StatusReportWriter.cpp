#include "report/StatusReportWriter.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/Owners.h"
#include "report/PathWalk.h"
#include "report/ReportPath.h"
#include "report/ReportSecurity.h"

namespace report {
namespace {

// The directory a path that is not fully qualified is resolved against; empty when none is
// needed, nullopt when the one needed cannot be read.
std::optional<std::u16string> BaseFor(platform::Platform& os, std::u16string_view path) {
    const Base base = BaseOf(path);
    switch (base.kind) {
        case BaseKind::None: return std::u16string();
        case BaseKind::CurrentDirectory: return os.CurrentDirectory();
        case BaseKind::DriveDirectory: return os.DriveDirectory(base.drive);
    }
    return std::nullopt;
}

// The handle itself is checked before anything is written: what stands at the name may have
// been swapped since the walk looked at the folder.
void WriteThrough(platform::Platform& os, platform::FileHandle opened, std::string_view bytes) {
    const platform::UniqueFile file(os, opened);
    if (!file || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return;
    const std::optional<platform::HandleInfo> info = os.QueryHandle(file.get());
    if (!info || !IsSafeReportFile(*info)) return;

    // A text cut short could read as a report of another version: after a failed write the
    // file is left empty instead.
    if (!os.WriteBytes(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()))) os.RewindFile(file.get());
    // Whatever the write did, nothing of an earlier, longer report may follow it.
    os.EndFileHere(file.get());
}

}  // namespace

bool IsSafeReportFile(const platform::HandleInfo& info) {
    return (info.attributes & (platform::kAttributeReparsePoint | platform::kAttributeDirectory)) == 0 &&
           info.links == 1;
}

void WriteStatusReport(platform::Platform& os, std::u16string path, std::string_view text) {
    const ReportSecurity security(os);
    if (!security.Built()) return;

    path = AnchorBareFileName(AsWideCString(std::move(path)));
    const std::optional<std::u16string> base = BaseFor(os, path);
    if (!base) return;
    const std::optional<ReportPlan> plan = PlanReportPath(path, *base);
    if (!plan) return;

    PathWalk walk(os, security.Attributes());
    if (!walk.OpenLevels(*plan)) return;
    WriteThrough(os, walk.OpenReport(plan->file), text.substr(0, text.find('\0')));
}

}  // namespace report
