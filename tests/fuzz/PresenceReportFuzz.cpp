// The presence report analysis on arbitrary bytes, alone and through one whole query against
// the model whose PowerShell writes exactly these bytes. Each result is compared with what the
// report layout says it must be, worked out here by a plain second reading of the bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "packages/InstalledVersion.h"
#include "packages/PackageIds.h"
#include "packages/PresenceQuery.h"
#include "packages/PresenceReport.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/model/FakeWindows.h"

namespace {

using packages::Presence;
using packages::ReportAnalysis;

constexpr std::u16string_view kInstalledLabel = u"IsInstalled     : ";
constexpr std::u16string_view kVersionLabel = u"Version";
constexpr std::size_t kMaxReportBytes = 1u << 20;
constexpr std::string_view kReservationMarker = "ppkg-launcher: reserved\r\n";
constexpr std::u16string_view kEarlierVersion = u"0.0.0.7-earlier";

char16_t Lower(char16_t unit) { return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + 32) : unit; }

bool StartsWithNoCase(std::u16string_view text, std::size_t at, std::u16string_view word) {
    if (at + word.size() > text.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (Lower(text[at + i]) != Lower(word[i])) return false;
    }
    return true;
}

// What the bytes say when read by the layout: UTF-16LE units from the first byte on, an odd
// last byte ignored; the first installed label with True or False (any case) after it makes
// the package present; the first "Version" anywhere leads, through the next colon and one
// more unit, to the version, which ends at the line end less one carriage return and counts
// only when it holds 1 to 254 units.
ReportAnalysis Expected(std::span<const std::uint8_t> data) {
    ReportAnalysis expected;
    if (data.empty()) return expected;
    if (data.size() < 2 || data[0] != 0xFF || data[1] != 0xFE) {
        expected.presence = Presence::CouldNotAsk;
        return expected;
    }
    std::u16string text;
    for (std::size_t i = 1; i < data.size(); i += 2) {
        text.push_back(static_cast<char16_t>(data[i - 1] + 256 * data[i]));
    }
    const std::size_t label = text.find(kInstalledLabel);
    if (label == std::u16string::npos) return expected;
    const std::size_t value = label + kInstalledLabel.size();
    if (!StartsWithNoCase(text, value, u"true") && !StartsWithNoCase(text, value, u"false")) return expected;
    expected.presence = Presence::Present;

    const std::size_t version = text.find(kVersionLabel);
    if (version == std::u16string::npos) return expected;
    expected.version = std::u16string();
    std::size_t colon = version;
    while (colon < text.size() && text[colon] != u':') ++colon;
    if (colon == text.size()) return expected;
    // The rest of the label's line, whose first unit (the blank after the colon) is no part of it.
    std::u16string line;
    for (std::size_t i = colon + 1; i < text.size() && text[i] != u'\n'; ++i) line.push_back(text[i]);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    if (line.size() >= 2 && line.size() - 1 <= packages::InstalledVersion::kMaxLength) expected.version = line.substr(1);
    return expected;
}

void CheckAnalysis(const std::uint8_t* data, std::size_t size, const ReportAnalysis& analysis) {
    fuzz::Require(!analysis.version || analysis.presence == Presence::Present, "a version only with a present package");
    if (analysis.version) {
        fuzz::Require(analysis.version->size() <= packages::InstalledVersion::kMaxLength, "version fits the record");
        fuzz::Require(analysis.version->find(u'\n') == std::u16string::npos, "version stays on its line");
    }
    const ReportAnalysis expected = Expected(std::span(data, size));
    fuzz::Require(analysis.presence == expected.presence, "presence as the layout says");
    fuzz::Require(analysis.version == expected.version, "version as the layout says");
}

// One query in the model: its PowerShell writes the bytes into whatever the command redirects
// to. The query must answer as the analysis did, touch the version only on a present package
// with a version, and leave nothing behind in the temp folder and nothing open.
void CheckQuery(const std::uint8_t* data, std::size_t size, const ReportAnalysis& analysis) {
    model::FakeWindows os;
    const std::span<const std::uint8_t> input(data, size);
    const std::string bytes(input.begin(), input.end());
    os.onCommand = [&bytes](model::FakeWindows& system, const std::string& command) {
        const std::size_t redirect = command.rfind('>');
        if (redirect == std::string::npos) return true;
        model::Entry* report = system.Find(model::Widen(command.substr(redirect + 1)));
        if (report != nullptr) report->content = bytes;
        return true;
    };
    const auto before = os.entries.size();
    packages::InstalledVersion version;
    version.Assign(kEarlierVersion);

    const Presence presence = packages::QueryPackagePresence(os, packages::PackageIds[0], version);

    Presence expected = analysis.presence;
    if (bytes == kReservationMarker || size > kMaxReportBytes) expected = Presence::CouldNotAsk;
    fuzz::Require(presence == expected, "the query answers as the analysis");
    const bool rewritten = presence == Presence::Present && analysis.version.has_value();
    // The record is a wide C string: a NUL unit in the reported text ends it there.
    const std::u16string_view reported = rewritten ? std::u16string_view(*analysis.version) : kEarlierVersion;
    fuzz::Require(version.Text() == reported.substr(0, reported.find(u'\0')),
                  "the version changes only on a present package with a version",
                  "presence " + std::to_string(static_cast<int>(presence)) + " analysis version " +
                      (analysis.version ? fuzz::Printable(*analysis.version) : "<none>") + "\nrecord " +
                      fuzz::Printable(version.Text()));
    fuzz::Require(version.Text().size() <= packages::InstalledVersion::kMaxLength, "the record stays bounded");
    fuzz::Require(os.entries.size() == before, "the temp report is removed");
    fuzz::Require(os.OpenHandleCount() == 0 && os.LiveDescriptorCount() == 0, "nothing left open");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes sit in a buffer of exactly their size, so a read past them is a finding.
    const ReportAnalysis analysis = packages::AnalyzePresenceReport(data, size);
    CheckAnalysis(data, size, analysis);
    CheckQuery(data, size, analysis);
    return 0;
}
