#include "QueryVerdict.h"

#include <cstdint>
#include <vector>

#include "packages/PresenceReport.h"

namespace verify {
namespace {

enum class Reading { Absent, CouldNotAsk, Installed };

// As the launcher's query reads its report: its own marker still there means PowerShell never
// wrote; anything else goes through the launcher's own analysis.
Reading ReadAsLauncher(const std::string& bytes) {
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

std::wstring Name(Reading reading) {
    switch (reading) {
        case Reading::Absent: return L"absent";
        case Reading::CouldNotAsk: return L"could not ask";
        case Reading::Installed: return L"installed";
    }
    return {};
}

// What the file holds, in a few words.
std::wstring Left(const std::string& bytes) {
    if (bytes == kReservationMarker) return L"the launcher's marker untouched";
    if (bytes.empty()) return L"an empty file";
    if (bytes == "\xFF\xFE") return L"the byte-order mark alone";
    return std::to_wstring(bytes.size()) + L" bytes";
}

std::wstring Seen(const wchar_t* what, const PowerShellEvidence& evidence) {
    return std::wstring(what) + L" leaves " + Left(evidence.bytes) + L" (read as " +
           Name(ReadAsLauncher(evidence.bytes)) + L", PowerShell's exit code " + std::to_wstring(evidence.exitCode) +
           L")";
}

}  // namespace

Outcome JudgeQueryEvidence(const QueryEvidence& evidence) {
    if (!evidence.absent.gathered || !evidence.failed.gathered) {
        return CannotPrepare(L"powershell-absent-bytes and powershell-failed-call gave no bytes in this run");
    }
    if (evidence.failed.exitCode == 0) {
        return CannotPrepare(L"the call meant to fail answered 0, so it shows no failed query (" +
                             Seen(L"it", evidence.failed) + L")");
    }
    const Reading absent = ReadAsLauncher(evidence.absent.bytes);
    const Reading failed = ReadAsLauncher(evidence.failed.bytes);
    const std::wstring seen = Seen(L"an absent package", evidence.absent) + L"; " + Seen(L"a refused call", evidence.failed);
    if (absent == Reading::CouldNotAsk) {
        return Fail(L"no-go: " + seen + L". An absent package reads as 'could not ask' here, so /uninstall answers 1 "
                    L"even when the package is gone, and \"Not installed\" never means that the store said so");
    }
    if (absent == Reading::Installed || failed == Reading::Installed) {
        return Fail(L"no-go: " + seen + L". A package no machine holds reads as installed here: no answer of the "
                    L"launcher can be trusted on this machine");
    }
    if (failed == Reading::Absent) {
        return Fail(L"no-go: " + seen + L". A failed query reads as an absent package here, so /uninstall may answer 0 "
                    L"and /getstatus write \"Not installed\" while the package is still installed, and not even a "
                    L"trace tells them apart: confirm both with Get-ProvisioningPackage by hand");
    }
    std::wstring merged;
    if (evidence.merged.gathered) {
        merged = L" With 2>&1 the error text would read as " + Name(ReadAsLauncher(evidence.merged.bytes)) +
                 L"; the launcher never merges it.";
    }
    return Pass(L"go: " + seen + L". A failed query reads as 'could not ask' here, so /uninstall answers 0 only when "
                L"the store said both packages are absent; \"Not installed\" stands for an absent package or a query "
                L"that could not ask, and the launcher's trace tells which." + merged);
}

}  // namespace verify
