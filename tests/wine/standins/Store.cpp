#include "Store.h"

#include <cstdlib>

#include "../common/Win.h"

namespace bench {

Store::Store() {
    DWORD n = GetEnvironmentVariableW(L"PPKG_BENCH_STORE", nullptr, 0);
    if (n == 0) return;
    std::wstring v(n, L'\0');
    n = GetEnvironmentVariableW(L"PPKG_BENCH_STORE", v.data(), n);
    v.resize(n);
    while (!v.empty() && (v.back() == L'\\' || v.back() == L'/')) v.pop_back();
    root_ = v;
}

std::wstring Store::path(std::wstring_view rel) const {
    std::wstring p = root_;
    p += L'\\';
    p += rel;
    return p;
}

bool Store::has(const std::wstring& name) const {
    return !root_.empty() && GetFileAttributesW(path(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Store::append(std::wstring_view rel, std::string_view line) const {
    if (root_.empty()) return;
    Handle f(CreateFileW(path(rel).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) return;
    std::string bytes(line);
    bytes += '\n';
    DWORD put = 0;
    WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
}

void Store::log(std::wstring_view line) const { append(L"log.txt", toUtf8(line)); }

void Store::trace() const {
    wchar_t self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    append(L"commands.txt", toUtf8(std::wstring_view(self, n < MAX_PATH ? n : 0)) + '\t' + toUtf8(GetCommandLineW()));
}

unsigned long Fault::number(size_t i, unsigned long fallback) const {
    if (i >= args.size() || args[i].empty()) return fallback;
    char* end = nullptr;
    const unsigned long v = std::strtoul(args[i].c_str(), &end, 10);
    return *end == '\0' ? v : fallback;
}

Fault Store::takeFault(std::wstring_view kind) const {
    Fault fault;
    const std::wstring queue = L"faults\\" + std::wstring(kind) + L".txt";
    std::string plan;
    if (!read(queue, plan)) return fault;
    const size_t end = plan.find('\n');
    std::string line = plan.substr(0, end);
    writeFile(path(queue), end == std::string::npos ? std::string_view() : std::string_view(plan).substr(end + 1));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t pos = 0;
    while (pos < line.size()) {
        size_t blank = line.find(' ', pos);
        if (blank == std::string::npos) blank = line.size();
        if (blank > pos) {
            if (fault.name.empty()) fault.name = line.substr(pos, blank - pos);
            else fault.args.push_back(line.substr(pos, blank - pos));
        }
        pos = blank + 1;
    }
    if (fault.name == "-") fault.name.clear();
    return fault;
}

void Store::delay(std::wstring_view kind, const Fault& fault) const {
    if (!fault.is("slow")) return;
    Sleep(static_cast<DWORD>(fault.number(0)));
    noteFault(kind, fault, "");
}

void Store::noteFault(std::wstring_view kind, const Fault& fault, std::string_view effect) const {
    std::string line = toUtf8(kind) + ' ' + fault.name;
    for (const std::string& a : fault.args) line += ' ' + a;
    if (!effect.empty()) line += std::string(" : ") + std::string(effect);
    append(L"faults\\applied.txt", line);
}

void Store::noteAnswer(std::wstring_view id, bool held, const std::string* written) const {
    if (!has(L"faults")) return;
    static const char hex[] = "0123456789abcdef";
    std::string line = toUtf8(id) + (held ? " held " : " absent ");
    if (written == nullptr) {
        line += '-';
    } else {
        line += "bytes:";
        for (const char ch : *written) {
            const auto c = static_cast<unsigned char>(ch);
            line += hex[c >> 4];
            line += hex[c & 15];
        }
    }
    append(L"faults\\answers.txt", line);
}

bool Store::read(const std::wstring& name, std::string& bytes) const {
    return !root_.empty() && readFile(path(name), bytes);
}

bool Store::raw(const std::wstring& id, std::string& bytes) const {
    return read(L"raw\\" + id + L".bin", bytes);
}

bool Store::load(const std::wstring& id, Package& out) const {
    std::string text;
    if (!read(L"packages\\" + id + L".txt", text)) return false;
    out = Package{};
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            std::string key = line.substr(0, eq), val = line.substr(eq + 1);
            if (key == "version") out.version = val;
            else if (key == "installed") out.installed = val;
            else if (key == "removable") out.removable = val != "no";
        }
        pos = end + 1;
    }
    return true;
}

bool Store::save(const std::wstring& id, const Package& p) const {
    if (root_.empty()) return false;
    CreateDirectoryW(path(L"packages").c_str(), nullptr);
    std::string text = "version=" + p.version + "\ninstalled=" + p.installed +
                       "\nremovable=" + (p.removable ? "yes" : "no") + "\n";
    return writeFile(path(L"packages\\" + id + L".txt"), text);
}

bool Store::erase(const std::wstring& id) const {
    return !root_.empty() && DeleteFileW(path(L"packages\\" + id + L".txt").c_str());
}

}  // namespace bench
