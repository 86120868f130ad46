// The presence query's command line on arbitrary temp folders and ANSI code pages. Whenever a
// command comes out, it is read back the way powershell.exe reads it: the process gets it in
// the ANSI code page, the C runtime splits it into arguments, PowerShell joins the arguments
// after its own name with single blanks and parses that as script, in which a redirection
// target is a bare word or a single-quoted string where a doubled quote stands for one. The
// target read back must be the report path, byte for byte.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packages/Commands.h"
#include "packages/PackageIds.h"
#include "platform/Platform.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// One character of the code page: its bytes, and whether it reads as a PowerShell quote.
struct Character {
    std::string bytes;
    bool singleQuote = false;
    bool Is(char ascii) const { return bytes.size() == 1 && bytes[0] == ascii; }
};
using Text = std::vector<Character>;

struct CodePage {
    platform::AnsiCodePage table;
    bool utf8 = false;
};

// Lead bytes of a double-byte code page lie in 0x81..0xFE, trail bytes in 0x40..0xFE without
// 0x7F; ASCII is itself in every ANSI code page.
bool IsTrailByte(unsigned char byte) { return byte >= 0x40 && byte <= 0xFE && byte != 0x7F; }

// The length of the sequence a first byte starts; 0 for a byte that starts none.
std::size_t AnnouncedLength(unsigned char first) {
    if (first < 0x80) return 1;
    if (first >= 0xC2 && first <= 0xDF) return 2;
    if (first >= 0xE0 && first <= 0xEF) return 3;
    if (first >= 0xF0 && first <= 0xF4) return 4;
    return 0;
}

std::size_t Utf8Length(std::string_view bytes, std::size_t at) {
    const auto first = static_cast<unsigned char>(bytes[at]);
    const std::size_t length = AnnouncedLength(first);
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (length == 1) return 1;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
    if (length == 0 || at + length > bytes.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(bytes[at + i]);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

// The characters of an 8-bit text as the system converts it for the new process; nullopt for
// bytes that are no valid text in the code page (GetTempPathA never yields such a folder).
std::optional<Text> Decode(std::string_view bytes, const CodePage& codePage) {
    Text text;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t length = 1;
        if (codePage.utf8) {
            length = Utf8Length(bytes, at);
            if (length == 0) return std::nullopt;
        } else if (codePage.table.isLeadByte.at(static_cast<unsigned char>(bytes[at]))) {
            if (at + 1 >= bytes.size() || !IsTrailByte(static_cast<unsigned char>(bytes[at + 1]))) return std::nullopt;
            length = 2;
        }
        Character character{std::string(bytes.substr(at, length))};
        character.singleQuote = character.Is('\'');
        for (const std::string& quote : codePage.table.singleQuotes) {
            if (character.bytes == quote) character.singleQuote = true;
        }
        text.push_back(character);
        at += length;
    }
    return text;
}

bool IsBlank(const Character& c) { return c.Is(' ') || c.Is('\t'); }

// The C runtime's argument split: the program name ends at the first blank outside double
// quotes and knows no escapes; in the arguments 2n backslashes before a double quote give n
// and a toggle, 2n+1 give n and a literal quote, and "" inside quotes gives one quote.
std::vector<Text> SplitLikeTheCRuntime(const Text& line) {
    std::vector<Text> arguments;
    std::size_t at = 0;
    Text program;
    bool quoted = false;
    for (; at < line.size(); ++at) {
        if (line[at].Is('"')) {
            quoted = !quoted;
        } else if (IsBlank(line[at]) && !quoted) {
            break;
        } else {
            program.push_back(line[at]);
        }
    }
    arguments.push_back(program);
    for (;;) {
        while (at < line.size() && IsBlank(line[at])) ++at;
        if (at >= line.size()) return arguments;
        Text argument;
        quoted = false;
        while (at < line.size() && !(IsBlank(line[at]) && !quoted)) {
            std::size_t slashes = 0;
            while (at < line.size() && line[at].Is('\\')) ++slashes, ++at;
            if (at < line.size() && line[at].Is('"')) {
                argument.insert(argument.end(), slashes / 2, Character{"\\"});
                if (slashes % 2 == 1) {
                    argument.push_back(line[at++]);
                } else if (quoted && at + 1 < line.size() && line[at + 1].Is('"')) {
                    argument.push_back(line[at + 1]);
                    at += 2;
                } else {
                    quoted = !quoted;
                    ++at;
                }
                continue;
            }
            argument.insert(argument.end(), slashes, Character{"\\"});
            if (slashes == 0) argument.push_back(line[at++]);
        }
        arguments.push_back(argument);
    }
}

// PowerShell's script text: the arguments after its own name, joined with single blanks.
Text ScriptText(const std::vector<Text>& arguments) {
    Text script;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (i > 1) script.push_back(Character{" "});
        script.insert(script.end(), arguments[i].begin(), arguments[i].end());
    }
    return script;
}

// The characters in [from, to), the usual order of a range.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string Bytes(const Text& text, std::size_t from = 0, std::size_t to = std::string::npos) {
    std::string bytes;
    for (std::size_t i = from; i < text.size() && i < to; ++i) bytes += text[i].bytes;
    return bytes;
}

// Characters that end or change a bare word in PowerShell's parser.
bool BreaksBareWord(const Character& c) {
    if (c.singleQuote || IsBlank(c)) return true;
    return c.bytes.size() == 1 && std::string_view("\"$;&(){},`|@#<>").find(c.bytes[0]) != std::string_view::npos;
}

// The redirection target of "<cmdlet> -PackageId <id> ><target>", or nullopt when the script
// is not that shape or the target is no string PowerShell would read whole.
std::optional<std::string> RedirectTarget(const Text& script, std::string_view id) {
    const std::string head = "Get-ProvisioningPackage -PackageId " + std::string(id) + " >";
    if (Bytes(script, 0, head.size()) != head) return std::nullopt;
    std::size_t at = head.size();
    std::string target;
    if (at < script.size() && script[at].singleQuote) {
        for (++at;; ++at) {
            if (at >= script.size()) return std::nullopt;   // the string never ends
            if (script[at].singleQuote) {
                if (at + 1 >= script.size() || !script[at + 1].singleQuote) break;
                ++at;   // a doubled quote stands for the second one
            }
            target += script[at].bytes;
        }
        ++at;
    } else {
        for (; at < script.size() && !IsBlank(script[at]); ++at) {
            if (BreaksBareWord(script[at])) return std::nullopt;
            target += script[at].bytes;
        }
    }
    while (at < script.size() && IsBlank(script[at])) ++at;
    if (at != script.size()) return std::nullopt;   // something after the target
    return target;
}

// The code page from the input: either UTF-8, or a double-byte table of lead-byte ranges with
// up to four typographic single quotes, each one byte that is not a lead byte or a lead byte
// with a trail byte.
CodePage ReadCodePage(fuzz::Input& input) {
    CodePage codePage;
    if (input.Pick(4) == 0) {
        codePage.utf8 = true;
        codePage.table.singleQuotes = {"\xE2\x80\x98", "\xE2\x80\x99", "\xE2\x80\x9A", "\xE2\x80\x9B"};
        return codePage;
    }
    std::vector<unsigned char> leads;
    for (std::size_t ranges = input.Pick(3); ranges > 0; --ranges) {
        const auto first = static_cast<unsigned>(0x81 + input.Pick(0x7E));
        const auto last = static_cast<unsigned>(first + input.Pick(0xFF - first));
        for (unsigned b = first; b <= last; ++b) {
            codePage.table.isLeadByte.at(b) = true;
            leads.push_back(static_cast<unsigned char>(b));
        }
    }
    for (std::size_t quotes = input.Pick(5); quotes > 0; --quotes) {
        const auto first = static_cast<unsigned char>(0x80 | input.Byte());
        if (!codePage.table.isLeadByte.at(first)) {
            codePage.table.singleQuotes.emplace_back(1, static_cast<char>(first));
        } else {
            auto trail = static_cast<unsigned char>(0x40 + input.Pick(0xBF));
            if (trail == 0x7F) trail = 0x80;
            codePage.table.singleQuotes.push_back({static_cast<char>(first), static_cast<char>(trail)});
        }
    }
    return codePage;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const CodePage codePage = ReadCodePage(input);
    const std::string id = packages::PackageIds.at(input.Pick(packages::PackageIds.size()));
    const int number = static_cast<int>(input.Unit() & 0x7FFF);
    // The temp folder as GetTempPathA hands it over: a C string in the ANSI code page.
    const std::string_view rest = input.Rest();
    const std::string folder(rest.substr(0, rest.find('\0')));
    if (!Decode(folder, codePage)) return 0;

    const std::optional<std::string> path = packages::FormatReportPath(folder, number);
    if (!path) return 0;
    const std::optional<std::string> command = packages::FormatQueryCommand(id, *path, codePage.table);
    if (!command) return 0;
    fuzz::Require(command->size() < packages::kCommandBufferSize, "the command fits its buffer");
    fuzz::Require(command->find('\0') == std::string::npos, "the command is one C string");

    const std::string detail = "path    " + fuzz::Printable(*path) + "\ncommand " + fuzz::Printable(*command);
    const std::optional<Text> line = Decode(*command, codePage);
    fuzz::Require(line.has_value(), "the command is valid text in the code page", detail);
    const std::vector<Text> arguments = SplitLikeTheCRuntime(*line);
    fuzz::Require(Bytes(arguments[0]) == "powershell.exe", "the program is powershell.exe", detail);
    const std::optional<std::string> target = RedirectTarget(ScriptText(arguments), id);
    fuzz::Require(target.has_value(), "PowerShell reads one redirection target", detail);
    fuzz::Require(*target == *path, "the redirection target is the report path, byte for byte",
                  detail + "\ntarget  " + fuzz::Printable(*target));
    return 0;
}
