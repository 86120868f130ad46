#include "packages/Commands.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace packages {
namespace {

bool IsPlainPathByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '\\' ||
           c == ':' || c == '.' || c == '_' || c == '-' || c == '~';
}

bool NeedsQuoting(std::string_view path) {
    return !std::all_of(path.begin(), path.end(), [](char c) { return IsPlainPathByte(static_cast<unsigned char>(c)); });
}

// Length of the single quote that starts at `at`, or 0. PowerShell takes the typographic
// single quotes for quote characters too, in whatever bytes the code page gives them.
std::size_t SingleQuoteAt(std::string_view path, std::size_t at, const platform::AnsiCodePage& codePage) {
    if (path[at] == '\'') return 1;
    const auto quote = std::find_if(codePage.singleQuotes.begin(), codePage.singleQuotes.end(),
                                    [&](const std::string& q) { return !q.empty() && path.substr(at, q.size()) == q; });
    return quote == codePage.singleQuotes.end() ? 0 : quote->size();
}

// Inside "'...'": the double quotes keep the path one word through powershell.exe's own
// command-line split, the single quotes make it one literal PowerShell string.
std::string QuotedRedirectTarget(std::string_view path, const platform::AnsiCodePage& codePage) {
    std::string out = "\"'";
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t quote = SingleQuoteAt(path, at, codePage);
        if (quote != 0) {
            out.append(path.substr(at, quote));
            out.append(path.substr(at, quote));
            at += quote;
            continue;
        }
        // A double-byte character moves as a whole, so a trail byte never starts a match.
        // The table has an entry for every value of an unsigned char.
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-constant-array-index)
        const bool lead = codePage.isLeadByte[static_cast<unsigned char>(path[at])] && at + 1 < path.size();
        const std::size_t width = lead ? 2 : 1;
        out.append(path.substr(at, width));
        at += width;
    }
    out += "'\"";
    return out;
}

}  // namespace

std::optional<std::string> FormatReportPath(std::string_view tempFolder, int number) {
    std::array<char, kPathBufferSize> buffer{};
    const std::string folder(tempFolder);
    // printf's rules make the name: the folder ends at its first NUL, the number is lower-case hex.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int written = std::snprintf(buffer.data(), buffer.size(), "%snorv4c7d2a00-91e3-4b58-a6f2-3d05c%x.pkt",
                                      folder.c_str(), static_cast<unsigned>(number));
    if (written < 0 || static_cast<std::size_t>(written) >= buffer.size()) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(written));
}

std::optional<std::string> FormatQueryCommand(std::string_view id, std::string_view reportPath,
                                              const platform::AnsiCodePage& codePage) {
    // No quoting carries a double quote through powershell.exe's argument split unchanged, and
    // no Windows file name holds one: such a path gets no command rather than another target.
    if (reportPath.find('"') != std::string_view::npos) return std::nullopt;
    std::string command = "powershell.exe Get-ProvisioningPackage -PackageId ";
    command.append(id);
    command += " >";
    if (NeedsQuoting(reportPath)) {
        command += QuotedRedirectTarget(reportPath, codePage);
    } else {
        command.append(reportPath);
    }
    if (command.size() >= kCommandBufferSize) return std::nullopt;
    return command;
}

std::string FormatRemovalCommand(std::string_view id) {
    std::string command = "powershell.exe Remove-ProvisioningPackage -PackageId ";
    command.append(id);
    return command;
}

}  // namespace packages
