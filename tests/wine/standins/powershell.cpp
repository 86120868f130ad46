// Stand-in for powershell.exe: understands only the two provisioning cmdlets the launcher sends,
// answering from the simulated store. Like the real one it splits its command line the C runtime
// way and rejoins the words with single blanks before reading them as script text, so a launcher
// that quotes the redirection target wrongly sees the same breakage it would on Windows.


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

std::string report(const std::wstring& id, const bench::Store& store) {
    std::string raw;
    if (store.raw(id, raw)) return raw;
    std::wstring text;
    bench::Package p;
    if (store.load(id, p)) {
        text = L"\r\nPackageId       : " + id + L"\r\nPackageName     : Norv CML PPM\r\nIsInstalled     : " +
               bench::fromUtf8(p.installed) + L"\r\nVersion         : " + bench::fromUtf8(p.version) +
               L"\r\n\r\n\r\n";
    }
    std::string bytes = "\xFF\xFE";
    for (wchar_t ch : text) {
        bytes += static_cast<char>(ch & 0xFF);
        bytes += static_cast<char>((ch >> 8) & 0xFF);
    }
    return bytes;
}

int run(std::wstring_view script, const bench::Store& store) {
    Cursor c(script);
    c.skipBlanks();
    std::wstring_view cmdlet = c.word();
    bool query = equalsNoCase(cmdlet, L"Get-ProvisioningPackage");
    bool remove = equalsNoCase(cmdlet, L"Remove-ProvisioningPackage");
    if (!query && !remove) return 0;
    c.skipBlanks();
    if (!equalsNoCase(c.word(), L"-PackageId")) return 0;
    c.skipBlanks();
    std::wstring id(c.word(L">"));
    if (id.empty()) return 0;

    if (remove) {
        if (!c.onlyBlanksLeft()) return 0;
        bench::Package p;
        if (store.load(id, p) && p.removable) store.erase(id);
        return 0;
    }
    c.skipBlanks();
    if (c.atEnd() || c.peek() != L'>') return 0;  // no redirection: output would go to the console
    c.next();
    std::optional<std::wstring> target = readTarget(c);
    if (!target) return 1;
    return bench::writeFile(*target, report(id, store)) ? 0 : 1;
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
    if (store.has(L"powershell-silent")) return 0;
    return run(script, store);
}
