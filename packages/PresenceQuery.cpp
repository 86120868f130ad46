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
#include "platform/Tracing.h"

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
    ~ReservedReport() {
        if (!os_.RemoveFile(path_)) {
            platform::EmitCallFailed(os_, platform::kTraceQuery, "RemoveFile", {platform::TraceText("Path", path_)});
        }
    }
    const std::string& path() const { return path_; }

private:
    platform::Platform& os_;
    std::string path_;
};

// The name is guessable (time-seeded, 15 bits), so the launcher creates the file itself,
// exclusively: anything planted there in advance, a link included, makes it draw again.
std::optional<std::string> ReserveReportPath(platform::Platform& os, std::string_view tempFolder) {
    using platform::TraceText;
    os.SeedRandomFromClock();
    std::string last;
    for (int attempt = 0; attempt < kReserveAttempts; ++attempt) {
        std::optional<std::string> path = FormatReportPath(tempFolder, os.NextRandom());
        if (!path) return std::nullopt;
        switch (os.ReserveFile(*path, kReservationMarker)) {
            case platform::ReserveResult::Created:
                platform::Emit(os, "TempReportReserved", platform::TraceLevel::Verbose, platform::kTraceQuery,
                               {TraceText("Path", *path),
                                platform::TraceNumber("Draws", static_cast<std::uint32_t>(attempt + 1))});
                return path;
            case platform::ReserveResult::AlreadyExists:
                last = std::move(*path);
                continue;
            case platform::ReserveResult::Failed:
                platform::EmitCallFailed(os, platform::kTraceQuery, "ReserveFile", {TraceText("Path", *path)});
                return std::nullopt;
        }
    }
    platform::EmitCallFailed(os, platform::kTraceQuery, "ReserveFile",
                             {TraceText("Path", last), TraceText("Reason", "every name drawn was taken")});
    return std::nullopt;
}

// What one query concluded and why, for its trace event.
struct Answer {
    Presence presence = Presence::CouldNotAsk;
    std::string_view reason;
    std::uint64_t reportBytes = 0;
};

std::string_view ReasonText(ReportReason reason) {
    switch (reason) {
        case ReportReason::Empty:
            return "the report holds no output: read as not reported (a query that failed may leave the same)";
        case ReportReason::NoByteOrderMark: return "the report has no UTF-16 byte-order mark";
        case ReportReason::NoInstalledLine: return "the report has no IsInstalled line";
        case ReportReason::OtherValue: return "IsInstalled is neither True nor False";
        case ReportReason::InstalledTrue: return "IsInstalled is True";
        case ReportReason::InstalledFalse: return "IsInstalled is False: known to the store, pending";
    }
    return {};
}

std::string_view ReadText(platform::ReadResult result) {
    switch (result) {
        case platform::ReadResult::Ok: return "read";
        case platform::ReadResult::CannotOpen: return "the report cannot be opened";
        case platform::ReadResult::NotAPlainFile: return "the report is no plain file";
        case platform::ReadResult::TooLarge: return "the report is larger than the query accepts";
        case platform::ReadResult::NoMemory: return "no memory to read the report";
        case platform::ReadResult::ReadFailed: return "the report could not be read";
    }
    return {};
}

Answer Ask(platform::Platform& os, const char* id, InstalledVersion& version, std::optional<ReservedReport>& report) {
    std::array<char, kTempFolderSize + 1> tempFolder{};
    const std::uint32_t length = os.TempFolder(tempFolder.data(), kTempFolderSize);
    if (length == 0) {
        platform::EmitCallFailed(os, platform::kTraceQuery, "TempFolder");
        return {Presence::CouldNotAsk, "the temp folder cannot be read"};
    }
    if (length >= kTempFolderSize) return {Presence::CouldNotAsk, "the temp folder's path is too long"};

    const std::optional<std::string> reserved =
        ReserveReportPath(os, std::string_view(tempFolder.data(), length));
    if (!reserved) return {Presence::CouldNotAsk, "no temp report could be reserved"};
    report.emplace(os, *reserved);

    const std::optional<std::string> command = FormatQueryCommand(id, report->path(), os.QueryAnsiCodePage());
    if (!command) return {Presence::CouldNotAsk, "the temp report's path cannot be put on the command line"};
    if (!RunSystemTool(os, SystemTool::PowerShell, *command)) {
        return {Presence::CouldNotAsk, "PowerShell could not be started"};
    }

    platform::FileBytes bytes;
    const platform::ReadResult read = os.ReadWholeFile(report->path(), kMaxReportBytes, bytes);
    if (read != platform::ReadResult::Ok) {
        // A refused call has an error number; a report too large or no plain file is a finding.
        if (read != platform::ReadResult::TooLarge && read != platform::ReadResult::NotAPlainFile) {
            platform::EmitCallFailed(os, platform::kTraceQuery, "ReadWholeFile",
                                     {platform::TraceText("Result", ReadText(read)),
                                      platform::TraceText("Path", report->path())});
        }
        return {Presence::CouldNotAsk, ReadText(read)};
    }
    if (IsReservationMarker(bytes.View())) {
        return {Presence::CouldNotAsk, "the reservation marker is still there: PowerShell never wrote the report",
                bytes.size};
    }

    const ReportAnalysis analysis = AnalyzePresenceReport(bytes.View().data(), bytes.View().size());
    if (analysis.presence == Presence::Present && analysis.version) version.Assign(*analysis.version);
    return {analysis.presence, ReasonText(analysis.reason), bytes.size};
}

std::string_view PresenceText(Presence presence) {
    switch (presence) {
        case Presence::Present: return "reported";
        case Presence::NotReported: return "not reported";
        case Presence::CouldNotAsk: return "could not ask";
    }
    return {};
}

}  // namespace

Presence QueryPackagePresence(platform::Platform& os, const char* id, InstalledVersion& version) {
    // Deleted on the way out, once the answer has been traced with its name.
    std::optional<ReservedReport> report;
    const Answer answer = Ask(os, id, version, report);
    // The version the query leaves behind: only a reported package's is its own.
    const std::u16string_view reported = answer.presence == Presence::Present ? version.Text() : std::u16string_view();
    // One level per event name: a question that could not be asked is an event of its own.
    const bool failed = answer.presence == Presence::CouldNotAsk;
    platform::Emit(os, failed ? "PackageQueryFailed" : "PackageQueried",
                   failed ? platform::TraceLevel::Error : platform::TraceLevel::Information, platform::kTraceQuery,
                   {platform::TraceText("PackageId", id), platform::TraceText("Answer", PresenceText(answer.presence)),
                    platform::TraceText("Reason", answer.reason), platform::TraceWide("Version", reported),
                    platform::TraceSize("ReportBytes", answer.reportBytes),
                    platform::TraceText("TempReport", report ? std::string_view(report->path()) : std::string_view())});
    return answer.presence;
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
