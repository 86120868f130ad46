#include "launcher/StatusAction.h"

#include <algorithm>
#include <limits>

#include "packages/PresenceQuery.h"
#include "platform/Tracing.h"
#include "report/StatusReportWriter.h"

namespace launcher {
namespace {

constexpr std::string_view kVersionLabel = "Version=";
constexpr std::string_view kNotInstalled = "Not installed\n";

bool FitsInByte(char16_t unit) { return unit <= std::numeric_limits<unsigned char>::max(); }

}  // namespace

void FormatVersionLine(std::u16string_view version, ReportText& text) {
    text.fill('\0');
    const std::u16string_view units = version.substr(0, version.find(u'\0'));
    // The label, the units, the line feed and the terminating NUL.
    if (kVersionLabel.size() + units.size() + 2 > text.size()) return;
    if (!std::all_of(units.begin(), units.end(), FitsInByte)) return;

    std::size_t at = kVersionLabel.copy(text.data(), kVersionLabel.size());
    for (const char16_t unit : units) text[at++] = static_cast<char>(static_cast<unsigned char>(unit));
    text[at] = '\n';
}

void FormatNotInstalled(ReportText& text) {
    text.fill('\0');
    kNotInstalled.copy(text.data(), kNotInstalled.size());
}

std::string_view TextOf(const ReportText& text) {
    const auto end = std::find(text.begin(), text.end(), '\0');
    return std::string_view(text.data(), static_cast<std::size_t>(end - text.begin()));
}

int ReportStatus(platform::Platform& os, packages::InstalledVersion& version, const std::u16string& path) {
    using platform::TraceText;
    if (path.empty()) return 0;
    ReportText text{};

    if (!packages::AnyPackageReported(os, version)) {
        FormatNotInstalled(text);
        platform::Emit(os, "StatusReportText", platform::TraceLevel::Information, platform::kTraceReportPath,
                       {TraceText("Text", TextOf(text)), TraceText("Reason", "no package is reported")});
        report::WriteStatusReport(os, path, TextOf(text));
        return 0;
    }
    // Asked again so that the version written is one the store still reports.
    if (!packages::AnyPackageReported(os, version)) {
        platform::Emit(os, "StatusReportText", platform::TraceLevel::Information, platform::kTraceReportPath,
                       {TraceText("Text", ""),
                        TraceText("Reason", "reported on the first pass, not on the second: nothing is written")});
        return 0;
    }
    FormatVersionLine(version.Text(), text);
    const std::string_view why =
        TextOf(text).empty() ? "the version does not fit one 8-bit line: the report is empty" : "a package is reported";
    platform::Emit(os, "StatusReportText", platform::TraceLevel::Information, platform::kTraceReportPath,
                   {TraceText("Text", TextOf(text)), TraceText("Reason", why)});
    report::WriteStatusReport(os, path, TextOf(text));
    return 1;
}

}  // namespace launcher
