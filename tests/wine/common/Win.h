#pragma once

// Small Win32 helpers shared by the bench exes: handle owners, UTF-8 conversion, whole-file I/O.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

namespace bench {

// Owns a kernel handle from CreateFileW / CreateProcessW.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Handle& operator=(Handle&& o) noexcept {
        if (this != &o) { reset(); h_ = o.h_; o.h_ = nullptr; }
        return *this;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset() {
        if (valid()) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};

// Owns an open registry key.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() { if (k_) RegCloseKey(k_); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* out() { return &k_; }
    HKEY get() const { return k_; }

private:
    HKEY k_ = nullptr;
};

// Owns memory the system handed out with LocalAlloc.
template <typename T>
class LocalMem {
public:
    LocalMem() = default;
    explicit LocalMem(T p) : p_(p) {}
    ~LocalMem() { if (p_) LocalFree(p_); }
    LocalMem(const LocalMem&) = delete;
    LocalMem& operator=(const LocalMem&) = delete;
    T* out() { return &p_; }
    T get() const { return p_; }

private:
    T p_ = nullptr;
};

inline std::string toUtf8(std::wstring_view w) {
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

inline std::wstring fromUtf8(std::string_view s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline bool fileExists(const std::wstring& path) {
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

inline bool readFile(const std::wstring& path, std::string& out) {
    Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) return false;
    out.clear();
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    return true;
}

// Truncates and rewrites, the way a shell's `>` does.
inline bool writeFile(const std::wstring& path, std::string_view bytes) {
    Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f.valid()) return false;
    DWORD put = 0;
    return bytes.empty() ||
           (WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
            put == bytes.size());
}

}  // namespace bench
