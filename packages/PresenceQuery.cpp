#include "packages/PresenceQuery.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/PresenceReport.h"
#include "packages/SystemTools.h"

namespace packages {
namespace {

constexpr std::uint32_t kTempFolderSize = 260;
constexpr int kReserveAttempts = 16;
// Written into the reserved report before PowerShell starts. It has no byte-order mark, so
// no report of the cmdlet can look like it: if it is still there, PowerShell never wrote.
constexpr std::string_view kReservationMarker = "ppkg-launcher: reserved\r\n";

bool IsReservationMarker(std::span<const std::uint8_t> bytes) {
    return std::equal(bytes.begin(), bytes.end(), kReservationMarker.begin(), kReservationMarker.end(),
                      [](std::uint8_t byte, char marker) { return byte == static_cast<unsigned char>(marker); });
}

// Deletes the reserved report on every way out of the query.
class ReservedReport {
public:
    ReservedReport(platform::Platform& os, std::string path) : os_(os), path_(std::move(path)) {}
    ReservedReport(const ReservedReport&) = delete;
    ReservedReport& operator=(const ReservedReport&) = delete;
    ReservedReport(ReservedReport&&) = delete;
    ReservedReport& operator=(ReservedReport&&) = delete;
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
        std::optional<std::string> path = FormatReportPath(tempFolder, os.NextRandom());
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
    std::array<char, kTempFolderSize + 1> tempFolder{};
    const std::uint32_t length = os.TempFolder(tempFolder.data(), kTempFolderSize);
    if (length == 0 || length >= kTempFolderSize) return Presence::CouldNotAsk;

    const std::optional<std::string> reserved =
        ReserveReportPath(os, std::string_view(tempFolder.data(), length));
    if (!reserved) return Presence::CouldNotAsk;
    const ReservedReport report(os, *reserved);

    const std::optional<std::string> command = FormatQueryCommand(id, report.path(), os.QueryAnsiCodePage());
    if (!command || !RunSystemTool(os, SystemTool::PowerShell, *command)) return Presence::CouldNotAsk;

    platform::FileBytes bytes;
    if (os.ReadWholeFile(report.path(), kMaxReportBytes, bytes) != platform::ReadResult::Ok) {
        return Presence::CouldNotAsk;
    }
    if (IsReservationMarker(bytes.View())) return Presence::CouldNotAsk;

    const ReportAnalysis analysis = AnalyzePresenceReport(bytes.View().data(), bytes.View().size());
    if (analysis.presence == Presence::Present && analysis.version) version.Assign(*analysis.version);
    return analysis.presence;
}

bool AnyPackageReported(platform::Platform& os, InstalledVersion& version) {
    // A loop, not std::any_of: the order of the queries and the stop after the first one
    // reported are what this promises, and any_of promises neither.
    for (const char* id : PackageIds) {
        // cppcheck-suppress useStlAlgorithm
        if (IsReported(QueryPackagePresence(os, id, version))) return true;
    }
    return false;
}

}  // namespace packages
