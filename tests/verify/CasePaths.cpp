#include "CasePaths.h"

#include <cstddef>

namespace verify {
namespace {

// The launcher declares no long-path awareness: MAX_PATH with its NUL, and room for an 8.3
// name after a folder it makes.
constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxFolderPath = 248;

}  // namespace

std::wstring TooLongForTheLauncher(const std::wstring& reportPath) {
    if (reportPath.size() >= kMaxPath) {
        return L"the report path is " + std::to_wstring(reportPath.size()) +
               L" characters, more than the launcher takes; run this program from a folder with a shorter path";
    }
    const std::size_t slash = reportPath.find_last_of(L"\\/");
    const std::size_t folder = slash == std::wstring::npos ? 0 : slash;
    if (folder >= kMaxFolderPath) {
        return L"the report's folder path is " + std::to_wstring(folder) +
               L" characters, too long for the launcher to make folders on it; run this program from a folder "
               L"with a shorter path";
    }
    return {};
}

}  // namespace verify
