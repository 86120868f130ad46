// Stand-in for powershell.exe: understands only the two provisioning cmdlets the launcher sends,
// answering from the simulated store. Like the real one it splits its command line the C runtime
// way and rejoins the words with single blanks before reading them as script text, so a launcher
// that quotes the redirection target wrongly sees the same breakage it would on Windows.
//
// A query started without administrators' rights fails while the cmdlet runs, as the store
// refuses it; what that leaves in the `>` target is Windows PowerShell's to decide and unknown
// here, so PPKG_BENCH_RUNTIME_FAILURE picks it: "keeps" (the default) leaves the target as it
// was, "empties" truncates it. Either way, and for a parameter PowerShell cannot bind, the error
// goes to the error stream in PowerShell's error view and the answer is 1.


#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../common/Win.h"
#include "Store.h"

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool isSingleQuote(wchar_t c) { return c == L'\'' || (c >= 0x2018 && c <= 0x201B); }

// Characters PowerShell would read as syntax inside a bare word (quotes, variables, separators...).
bool breaksBareWord(wchar_t c) {
    if (isSingleQuote(c) || (c >= 0x201C && c <= 0x201E)) return true;
    return std::wstring_view(L"\"$;&(){},`|@#<>").find(c) != std::wstring_view::npos;
}

bool equalsNoCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

class Cursor {
public:
    explicit Cursor(std::wstring_view t) : t_(t) {}
    void skipBlanks() { while (i_ < t_.size() && isBlank(t_[i_])) ++i_; }
    bool atEnd() const { return i_ >= t_.size(); }
    wchar_t peek() const { return t_[i_]; }
    void next() { ++i_; }
    // A word ends at a blank, or at any of `stops`.
    std::wstring_view word(std::wstring_view stops = {}) {
        size_t b = i_;
        while (i_ < t_.size() && !isBlank(t_[i_]) && stops.find(t_[i_]) == std::wstring_view::npos) ++i_;
        return t_.substr(b, i_ - b);
    }
    bool onlyBlanksLeft() { skipBlanks(); return atEnd(); }

private:
    std::wstring_view t_;
    size_t i_ = 0;
};

// Reads the redirection target: a bare word or a '...' string with doubled quotes.
// nullopt when PowerShell could not have parsed it.
std::optional<std::wstring> readTarget(Cursor& c) {
    c.skipBlanks();
    if (c.atEnd()) return std::nullopt;
    std::wstring out;
    if (isSingleQuote(c.peek())) {
        c.next();
        for (;;) {
            if (c.atEnd()) return std::nullopt;
            wchar_t ch = c.peek();
            c.next();
            if (isSingleQuote(ch)) {
                if (c.atEnd() || !isSingleQuote(c.peek())) break;
                ch = c.peek();
                c.next();
            }
            out += ch;
        }
    } else {
        std::wstring_view w = c.word();
        for (wchar_t ch : w)
            if (breaksBareWord(ch)) return std::nullopt;
        out = w;
    }
    if (!c.onlyBlanksLeft() || out.empty()) return std::nullopt;
    return out;
}

// The cmdlet's formatted output, UTF-16LE with a byte-order mark; `installed` stands in for the
// store's own value when given.
std::string report(const std::wstring& id, const bench::Store& store, const std::string* installed = nullptr) {
    std::string raw;
    if (store.raw(id, raw)) return raw;
    std::wstring text;
    bench::Package p;
    if (store.load(id, p)) {
        text = L"\r\nPackageId       : " + id + L"\r\nPackageName     : Norv CML PPM\r\nIsInstalled     : " +
               bench::fromUtf8(installed ? *installed : p.installed) + L"\r\nVersion         : " +
               bench::fromUtf8(p.version) + L"\r\n\r\n\r\n";
    }
    std::string bytes = "\xFF\xFE";
    for (wchar_t ch : text) {
        bytes += static_cast<char>(ch & 0xFF);
        bytes += static_cast<char>((ch >> 8) & 0xFF);
    }
    return bytes;
}

std::string fromHex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
        out += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    }
    return out;
}

// "flip xHEX [installed]": the package leaves the store if it is there, and arrives with the
// version given (UTF-8 in hex) if it is not, as another administrator's work would between two
// queries.
void flip(const bench::Store& store, const std::wstring& id, const bench::Fault& fault) {
    bench::Package p;
    if (store.load(id, p)) {
        store.erase(id);
        store.noteFault(L"query", fault, "vanished");
        return;
    }
    p = bench::Package{};
    if (!fault.args.empty()) p.version = fromHex(std::string_view(fault.args[0]).substr(1));
    if (fault.args.size() > 1) p.installed = fault.args[1];
    store.save(id, p);
    store.noteFault(L"query", fault, "appeared");
}

// "garble SEED": a few bytes after the byte-order mark changed, or (odd seeds) the whole text
// written as 8-bit characters without a mark, as a changed output encoding would.
std::string garble(const std::string& bytes, unsigned long seed) {
    std::uint32_t state = static_cast<std::uint32_t>(seed) | 1u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    std::string out;
    if (seed % 2 == 1) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) out += bytes[i];
        return out;
    }
    out = bytes;
    if (out.size() <= 2) return out;
    const unsigned flips = 1 + next() % 4;
    for (unsigned i = 0; i < flips; ++i) {
        const size_t at = 2 + next() % (out.size() - 2);
        out[at] = static_cast<char>(out[at] ^ static_cast<char>(1 + next() % 255));
    }
    return out;
}

// The report a query writes under `fault`, or nullopt when it writes nothing.
std::optional<std::string> faultyReport(const bench::Store& store, const std::wstring& id, bool held,
                                        const bench::Fault& fault) {
    const std::string normal = report(id, store);
    std::string out = normal;
    if (fault.is("silent")) {
        store.noteFault(L"query", fault, "");
        return std::nullopt;
    }
    if (fault.is("bom")) {
        out = "\xFF\xFE";
    } else if (fault.is("truncate") && !normal.empty()) {
        out.resize(std::min(normal.size() - 1, normal.size() * fault.number(0) / 1000));
    } else if (fault.is("garble")) {
        out = garble(normal, fault.number(0));
    } else if (fault.is("installed") && held && !fault.args.empty()) {
        out = report(id, store, &fault.args[0]);
    }
    if (out != normal) store.noteFault(L"query", fault, "");
    return out;
}

// PowerShell's error view of a failed command, on the error stream where one was given.
void writeError(const char* message, const char* category, const char* exception) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
    const std::string text = std::string("Get-ProvisioningPackage : ") + message + "\r\nAt line:1 char:1\r\n" +
                             "    + CategoryInfo          : " + category + ": (:) [Get-ProvisioningPackage], " + exception +
                             "\r\n    + FullyQualifiedErrorId : " + exception + ",Get-ProvisioningPackage\r\n\r\n";
    DWORD put = 0;
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
}

bool isAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

// The query refused while the cmdlet runs, the target already opened or not, per the plan above.
int failWhileRunning(const std::wstring& target) {
    wchar_t how[16] = L"";
    GetEnvironmentVariableW(L"PPKG_BENCH_RUNTIME_FAILURE", how, 16);
    if (std::wstring_view(how) == L"empties") {
        bench::Handle file(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    writeError("Access is denied.", "NotSpecified", "UnauthorizedAccessException");
    return 1;
}

int run(std::wstring_view script, const bench::Store& store) {
    Cursor c(script);
    c.skipBlanks();
    std::wstring_view cmdlet = c.word();
    bool query = equalsNoCase(cmdlet, L"Get-ProvisioningPackage");
    bool remove = equalsNoCase(cmdlet, L"Remove-ProvisioningPackage");
    if (!query && !remove) return 0;
    c.skipBlanks();
    // A parameter the cmdlet does not have fails the call before it runs, with exit code 1, as
    // Windows PowerShell answers a command that failed.
    if (!equalsNoCase(c.word(), L"-PackageId")) {
        writeError("A parameter cannot be found that matches the parameter name.", "InvalidArgument",
                   "ParameterBindingException");
        return 1;
    }
    c.skipBlanks();
    std::wstring id(c.word(L">"));
    if (id.empty()) return 0;

    if (remove) {
        if (!c.onlyBlanksLeft()) return 0;
        const bench::Fault fault = store.takeFault(L"remove");
        store.delay(L"remove", fault);
        bench::Package p;
        if (store.load(id, p) && p.removable) {
            if (fault.is("noop")) store.noteFault(L"remove", fault, "package kept");
            else store.erase(id);
        }
        return 0;
    }
    c.skipBlanks();
    if (c.atEnd() || c.peek() != L'>') return 0;  // no redirection: output would go to the console
    c.next();
    const bench::Fault fault = store.takeFault(L"query");
    store.delay(L"query", fault);
    if (fault.is("flip")) flip(store, id, fault);
    bench::Package p;
    const bool held = store.load(id, p);
    std::optional<std::wstring> target = readTarget(c);
    if (!target) {
        store.noteAnswer(id, held, nullptr);
        return 1;
    }
    if (!isAdministrator()) return failWhileRunning(*target);
    const std::optional<std::string> bytes = faultyReport(store, id, held, fault);
    const bool written = bytes && bench::writeFile(*target, *bytes);
    store.noteAnswer(id, held, written ? &*bytes : nullptr);
    return bytes && !written ? 1 : 0;
}

}  // namespace

int wmain() {
    int argc = 0;
    bench::LocalMem<LPWSTR*> argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    std::wstring joined, script;
    for (int i = 0; i < argc && argv.get(); ++i) {
        if (i > 0) joined += L' ';
        if (i > 1) script += L' ';
        joined += argv.get()[i];
        if (i > 0) script += argv.get()[i];
    }

    bench::Store store;
    store.log(joined);
    store.trace();
    if (store.has(L"powershell-silent")) return 0;
    return run(script, store);
}
