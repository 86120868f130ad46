#include "Store.h"

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

void Store::log(std::wstring_view line) const {
    if (root_.empty()) return;
    Handle f(CreateFileW(path(L"log.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) return;
    std::string bytes = toUtf8(line);
    bytes += '\n';
    DWORD put = 0;
    WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
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
