#include "packages/PresenceQuery.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/PresenceReport.h"
#include "packages/SystemTools.h"

namespace packages {
namespace {

constexpr std::uint32_t kTempFolderSize = 260;
constexpr int kReserveAttempts = 16;
// A real report is a few hundred bytes; anything this large is not one.
constexpr std::size_t kMaxReportBytes = 1u << 20;
// Written into the reserved report before PowerShell starts. It has no byte-order mark, so
// no report of the cmdlet can look like it: if it is still there, PowerShell never wrote.
constexpr std::string_view kReservationMarker = "ppkg-launcher: reserved\r\n";

// Deletes the reserved report on every way out of the query.
class ReservedReport {
public:
    ReservedReport(platform::Platform& os, std::string path) : os_(os), path_(std::move(path)) {}
    ReservedReport(const ReservedReport&) = delete;
    ReservedReport& operator=(const ReservedReport&) = delete;
    ~ReservedReport() { os_.RemoveFile(path_); }
    const std::string& path() const { return path_; }

private:
    platform::Platform& os_;
    std::string path_;
};

// The name is guessable (time-seeded, 15 bits), so the launcher creates the file itself,
// exclusively: anything planted there in advance, a link included, makes it draw again.
std::optional<std::string> ReserveReportPath(platform::Platform& os, std::string_view tempFolder) {
    os.SeedRandomFromClock();
    for (int attempt = 0; attempt < kReserveAttempts; ++attempt) {
        const std::optional<std::string> path = FormatReportPath(tempFolder, os.NextRandom());
        if (!path) return std::nullopt;
        switch (os.ReserveFile(*path, kReservationMarker)) {
            case platform::ReserveResult::Created: return path;
            case platform::ReserveResult::AlreadyExists: continue;
            case platform::ReserveResult::Failed: return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

Presence QueryPackagePresence(platform::Platform& os, const char* id, InstalledVersion& version) {
    char tempFolder[kTempFolderSize + 1] = {};
    const std::uint32_t length = os.TempFolder(tempFolder, kTempFolderSize);
    if (length == 0 || length >= kTempFolderSize) return Presence::CouldNotAsk;

    const std::optional<std::string> reserved =
        ReserveReportPath(os, std::string_view(tempFolder, length));
    if (!reserved) return Presence::CouldNotAsk;
    const ReservedReport report(os, *reserved);

    const std::optional<std::string> command = FormatQueryCommand(id, report.path(), os.QueryAnsiCodePage());
    if (!command || !RunSystemTool(os, SystemTool::PowerShell, *command)) return Presence::CouldNotAsk;

    std::vector<std::uint8_t> bytes;
    if (os.ReadWholeFile(report.path(), kMaxReportBytes, bytes) != platform::ReadResult::Ok) {
        return Presence::CouldNotAsk;
    }
    if (std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) == kReservationMarker) {
        return Presence::CouldNotAsk;
    }

    const ReportAnalysis analysis = AnalyzePresenceReport(bytes.data(), bytes.size());
    if (analysis.presence == Presence::Present && analysis.version) version.Assign(*analysis.version);
    return analysis.presence;
}

bool AnyPackageReported(platform::Platform& os, InstalledVersion& version) {
    for (const char* id : PackageIds) {
        if (IsReported(QueryPackagePresence(os, id, version))) return true;
    }
    return false;
}

}  // namespace packages
