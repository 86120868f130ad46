// Prints, as one JSON object, the values a deployment depends on, taken from the headers and
// the command formatting the exe is built from: the release's definitions and its tests read
// them here so that no copy of them can drift from the code.
//
//   g++ -std=c++20 -I. -I<build>/generated release/Definitions.cpp packages/Commands.cpp

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LauncherVersion.h"
#include "launcher/ExitCodes.h"
#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "packages/VersionRecord.h"

namespace {

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The record's names are ASCII; anything else would need a real conversion.
std::string Narrow(std::u16string_view text) {
    std::string out;
    for (const char16_t unit : text) out += unit < 0x80 ? static_cast<char>(unit) : '?';
    return out;
}

std::string List(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quoted(items[i]);
    return out + "]";
}

}  // namespace

int main() {
    // Report paths as the query makes them, in a temp folder that goes bare and in one that
    // needs quoting.
    const platform::AnsiCodePage codePage{};
    std::vector<std::string> ids, removals, queries;
    for (const char* id : packages::PackageIds) {
        ids.emplace_back(id);
        removals.push_back(packages::FormatRemovalCommand(id));
        for (const char* folder : {"C:\\Windows\\SystemTemp\\", "C:\\Users\\Jo Admin\\AppData\\Local\\Temp\\"}) {
            const std::optional<std::string> path = packages::FormatReportPath(folder, 0x1a2b);
            const std::optional<std::string> query =
                path ? packages::FormatQueryCommand(id, *path, codePage) : std::nullopt;
            if (!query) return 1;
            queries.push_back(*query);
        }
    }

    std::printf("{\n");
    std::printf("  \"version\": %s,\n", Quoted(PPKG_VERSION_TEXT).c_str());
    std::printf("  \"exitPass\": %u,\n", static_cast<unsigned>(launcher::ExitPass));
    std::printf("  \"exitFail\": %u,\n", static_cast<unsigned>(launcher::ExitFail));
    std::printf("  \"exitSuccess\": %u,\n", static_cast<unsigned>(launcher::ExitSuccess));
    std::printf("  \"exitFailure\": %u,\n", static_cast<unsigned>(launcher::ExitFailure));
    std::printf("  \"registryKey\": %s,\n", Quoted("HKEY_LOCAL_MACHINE\\" + Narrow(packages::kVersionRecordKey)).c_str());
    std::printf("  \"registryValue\": %s,\n", Quoted(Narrow(packages::kVersionValueName)).c_str());
    std::printf("  \"packageIds\": %s,\n", List(ids).c_str());
    std::printf("  \"installCommand\": %s,\n", Quoted(packages::kInstallCommand).c_str());
    std::printf("  \"removalCommands\": %s,\n", List(removals).c_str());
    std::printf("  \"queryCommands\": %s\n", List(queries).c_str());
    std::printf("}\n");
    return 0;
}
