#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace platform::win32 {

// Traits name the type, its "nothing" value and its release function.
template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;
    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(std::exchange(other.value_, Traits::Invalid())) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        reset(std::exchange(other.value_, Traits::Invalid()));
        return *this;
    }
    ~UniqueResource() { reset(); }
    Type get() const { return value_; }
    Type release() { return std::exchange(value_, Traits::Invalid()); }
    // For the calls that hand a new value back through a pointer: whatever was held goes first.
    Type* out() {
        reset();
        return &value_;
    }
    explicit operator bool() const { return value_ != Traits::Invalid(); }
    void reset(Type value = Traits::Invalid()) {
        if (value_ != Traits::Invalid()) Traits::Release(value_);
        value_ = value;
    }

private:
    Type value_ = Traits::Invalid();
};

struct FileTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Type h) { CloseHandle(h); }
};

// Process and thread handles are NULL when absent.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Release(Type h) { CloseHandle(h); }
};

struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Type h) { FindClose(h); }
};

struct KeyTraits {
    using Type = HKEY;
    static Type Invalid() { return nullptr; }
    static void Release(Type h) { RegCloseKey(h); }
};

// Memory the system allocated for the caller with LocalAlloc: argument arrays, descriptors.
struct LocalTraits {
    using Type = HLOCAL;
    static Type Invalid() { return nullptr; }
    static void Release(Type h) { LocalFree(h); }
};

using UniqueFile = UniqueResource<FileTraits>;
using UniqueKernelHandle = UniqueResource<KernelHandleTraits>;
using UniqueFind = UniqueResource<FindTraits>;
using UniqueKey = UniqueResource<KeyTraits>;
using UniqueLocal = UniqueResource<LocalTraits>;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed to the W functions as is");

// The two casts between the launcher's UTF-16 text and the W functions' wide text.
inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}
inline const char16_t* Utf16(const wchar_t* text) {
    return reinterpret_cast<const char16_t*>(text);   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

}  // namespace platform::win32
