#pragma once

// One owner per thing the verification program obtains from the system; each knows its
// "nothing" value and how to release it.

#include <windows.h>

#include <utility>

namespace verify {

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;
    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(std::exchange(other.value_, Traits::Invalid())) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(std::exchange(other.value_, Traits::Invalid()));
        return *this;
    }
    ~Unique() { reset(); }
    Type get() const { return value_; }
    // For the system calls that hand a new value back through a pointer.
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
struct KernelTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Release(Type h) { CloseHandle(h); }
};

struct FindTraits {
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(Type h) { FindClose(h); }
};

// Descriptors and texts the security functions allocate with LocalAlloc.
template <typename T>
struct LocalTraits {
    using Type = T;
    static Type Invalid() { return nullptr; }
    static void Release(Type p) { LocalFree(p); }
};

using UniqueFile = Unique<FileTraits>;
using UniqueKernel = Unique<KernelTraits>;
using UniqueFind = Unique<FindTraits>;
template <typename T>
using UniqueLocal = Unique<LocalTraits<T>>;

}  // namespace verify
