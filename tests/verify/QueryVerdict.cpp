#include "QueryVerdict.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

#include "packages/PresenceReport.h"

namespace verify {
namespace {

constexpr std::string_view kCmdlet = "Get-ProvisioningPackage";
constexpr std::string_view kBindingExceptions = "ParameterBinding";

bool SameFolded(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::wstring WideAscii(std::string_view text) {
    std::wstring wide;
    for (const char c : text) wide += static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'?';
    return wide;
}

// What the file holds, in a few words.
std::wstring Left(const std::string& bytes) {
    if (bytes == kReservationMarker) return L"the launcher's marker untouched";
    if (bytes.empty()) return L"an empty file";
    if (bytes == "\xFF\xFE") return L"the byte-order mark alone";
    return std::to_wstring(bytes.size()) + L" bytes";
}

std::wstring Seen(const wchar_t* what, const PowerShellEvidence& evidence) {
    const ErrorCategory error = ReadErrorCategory(evidence.errorText);
    return std::wstring(what) + L" leaves " + Left(evidence.bytes) + L" (read as " +
           ReadingName(ReadAsLauncher(evidence.bytes)) + L", PowerShell's exit code " +
           std::to_wstring(evidence.exitCode) +
           (error.exception.empty() ? L"" : L", " + WideAscii(error.exception)) + L")";
}

// The exit codes, where they could tell what the bytes cannot.
std::wstring ExitCodes(const QueryEvidence& evidence) {
    if (evidence.runtime.exitCode == evidence.absent.exitCode) {
        return L" PowerShell's exit code is " + std::to_wstring(evidence.absent.exitCode) +
               L" for both, so not even a launcher that read it could tell them apart.";
    }
    return L" PowerShell's exit code differs (" + std::to_wstring(evidence.absent.exitCode) +
           L" for the absent package, " + std::to_wstring(evidence.runtime.exitCode) +
           L" for the failure): a launcher that read it could tell them apart; this one does not.";
}

}  // namespace

Reading ReadAsLauncher(const std::string& bytes) {
    // Its own marker still there means PowerShell never wrote; anything else goes through the
    // launcher's own analysis.
    if (bytes == kReservationMarker) return Reading::CouldNotAsk;
    const std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
    const packages::ReportAnalysis analysis = packages::AnalyzePresenceReport(raw.data(), raw.size());
    switch (analysis.presence) {
        case packages::Presence::Present: return Reading::Installed;
        case packages::Presence::NotReported: return Reading::Absent;
        case packages::Presence::CouldNotAsk: break;
    }
    return Reading::CouldNotAsk;
}

std::wstring ReadingName(Reading reading) {
    switch (reading) {
        case Reading::Absent: return L"absent";
        case Reading::CouldNotAsk: return L"could not ask";
        case Reading::Installed: return L"installed";
    }
    return {};
}

ErrorCategory ReadErrorCategory(std::string_view text) {
    ErrorCategory found;
    const std::size_t label = text.find("CategoryInfo");
    if (label == std::string_view::npos) return found;
    std::string_view line = text.substr(label);
    line = line.substr(0, std::min(line.find_first_of("\r\n"), line.size()));
    const std::size_t open = line.find('[');
    const std::size_t close = open == std::string_view::npos ? open : line.find(']', open);
    if (close == std::string_view::npos) return found;
    found.command = std::string(line.substr(open + 1, close - open - 1));
    std::string_view rest = line.substr(close + 1);
    if (rest.rfind(", ", 0) == 0) rest.remove_prefix(2);
    const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
    found.exception = std::string(rest.substr(0, end));
    return found;
}

bool FailedWhileRunning(const PowerShellEvidence& evidence) {
    const ErrorCategory error = ReadErrorCategory(evidence.errorText);
    return evidence.gathered && evidence.exitCode != 0 && SameFolded(error.command, kCmdlet) && !error.exception.empty() &&
           error.exception.rfind(kBindingExceptions, 0) != 0;
}

Outcome JudgeQueryEvidence(const QueryEvidence& evidence) {
    if (!evidence.absent.gathered) return CannotPrepare(L"powershell-absent gave no bytes in this run");
    const Reading absent = ReadAsLauncher(evidence.absent.bytes);
    if (absent == Reading::CouldNotAsk) {
        return Fail(L"no-go: " + Seen(L"an absent package", evidence.absent) +
                    L". An absent package reads as 'could not ask' here, so /uninstall answers 1 even when the package "
                    L"is gone, and \"Not installed\" never means that the store said so");
    }
    if (absent == Reading::Installed) {
        return Fail(L"no-go: " + Seen(L"an absent package", evidence.absent) +
                    L". A package no machine holds reads as installed here: no answer of the launcher means what it says on "
                    L"this machine");
    }
    if (!FailedWhileRunning(evidence.runtime)) {
        const std::wstring seen = evidence.runtime.gathered ? Seen(L"the launcher's query without administrators' rights",
                                                                   evidence.runtime)
                                                            : L"powershell-runtime-failure gave no bytes";
        const std::wstring why = L"no failure of Get-ProvisioningPackage while it ran could be caused here (" + seen +
                                 L"), so nothing shows what such a failure leaves";
        // The system account's token keeps its own SID, which the store may still let in.
        if (evidence.asSystem) {
            return {Verdict::Info, why + L": as the system account no token without administrators' rights comes from "
                                         L"its own; the administrator's run of this program shows it"};
        }
        return CannotPrepare(why);
    }
    const Reading failed = ReadAsLauncher(evidence.runtime.bytes);
    const std::wstring seen = Seen(L"an absent package", evidence.absent) + L"; " +
                              Seen(L"the launcher's query failing while the cmdlet ran (no administrators' rights)",
                                   evidence.runtime);
    if (failed == Reading::Absent) {
        return Fail(L"no-go: " + seen + L". A query that fails while the cmdlet runs reads as an absent package here: "
                    L"/uninstall may answer 0 and /getstatus write \"Not installed\" while the package is still installed, "
                    L"and the launcher's trace shows it only as 'not reported'." + ExitCodes(evidence));
    }
    if (failed == Reading::Installed) {
        return Fail(L"no-go: " + seen + L". A failed query reads as an installed package here: no answer of the launcher "
                    L"means what it says on this machine");
    }
    std::wstring binding;
    if (evidence.binding.gathered) {
        binding = L" A call PowerShell refuses before the cmdlet runs, which the launcher's fixed command never makes, "
                  L"reads as " + ReadingName(ReadAsLauncher(evidence.binding.bytes)) + L".";
    }
    return Pass(L"go: " + seen + L". On this Windows build a query that fails inside the cmdlet leaves the launcher's "
                L"report reading 'could not ask', never 'absent': /uninstall answers 0 and /getstatus writes \"Not "
                L"installed\" only on the store's own answer, as far as failures end the cmdlet as this one did. It does "
                L"not show that every failure of the cmdlet does; one cause was provoked." + binding);
}

}  // namespace verify
