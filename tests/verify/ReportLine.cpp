#include "ReportLine.h"

#include <string_view>

namespace verify {
namespace {

constexpr std::string_view kNotInstalled = "Not installed\n";
constexpr std::string_view kVersionLabel = "Version=";

}  // namespace

std::wstring ReportLineProblem(const std::string& bytes, unsigned long exitCode) {
    if (exitCode == 1) return bytes == kNotInstalled ? std::wstring() : L"exit 1 but the report is not \"Not installed\"";
    if (exitCode != 0) return L"exit " + std::to_wstring(exitCode) + L" is neither 0 nor 1";
    if (bytes.empty()) {
        return L"exit 0 but the report is empty: a launcher that writes nothing would leave the same (the launcher "
               L"writes an empty report only for a version that does not fit one 8-bit line, which its trace's "
               L"StatusReportText event says)";
    }
    const bool oneLine = bytes.find('\n') == bytes.size() - 1;
    return bytes.rfind(kVersionLabel, 0) == 0 && oneLine ? std::wstring() : L"exit 0 but the report is no Version= line";
}

}  // namespace verify
