#include "report/StatusReportWriter.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/Owners.h"
#include "report/DirectoryChain.h"
#include "report/PathChecks.h"
#include "report/ReportSecurity.h"

namespace report {
namespace {

// The open neither creates nor follows a link at the path: what a vetting accepted may have
// been swapped since, so the handle itself is checked before anything is written.
void WriteVettedReport(platform::Platform& os, const std::u16string& path, std::string_view bytes,
                       const platform::SecurityAttributes& security) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return;
    const platform::UniqueFile file(
        os, os.OpenExisting(path, platform::kGenericWrite | platform::kFileReadAttributes, security));
    if (!file) return;
    const std::optional<platform::HandleInfo> info = os.QueryHandle(file.get());
    if (!info || !IsSafeReportFile(*info)) return;

    // A text cut short could read as a report of another version: after a failed write the
    // file is left empty instead.
    if (!os.WriteBytes(file.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()))) os.RewindFile(file.get());
    // Whatever the write did, nothing of an earlier, longer report may follow it.
    os.EndFileHere(file.get());
}

}  // namespace

std::u16string AnchorBareFileName(std::u16string path) {
    if (path.find_first_of(u"\\/") == std::u16string::npos) path.insert(0, u"./");
    return path;
}

bool IsSafeReportFile(const platform::HandleInfo& info) {
    return (info.attributes & (platform::kAttributeReparsePoint | platform::kAttributeDirectory)) == 0 &&
           info.links == 1;
}

void WriteStatusReport(platform::Platform& os, std::u16string path, std::string_view text) {
    const ReportSecurity security(os);
    if (!security.Built()) return;

    path = AnchorBareFileName(AsWideCString(std::move(path)));
    if (CheckOutputPath(os, path, security.Attributes()) != PathOk) {
        // The path holds a separator now, so it always has a directory part.
        const std::u16string directory(DirectoryPart(path).value_or(std::u16string_view()));
        if (CreateDirectoryChain(os, directory, security.Attributes()) != PathOk) return;
        if (CheckOutputPath(os, path, security.Attributes()) != PathOk) return;
    }
    WriteVettedReport(os, path, text.substr(0, text.find('\0')), security.Attributes());
}

}  // namespace report
