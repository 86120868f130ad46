#pragma once

// The verification program's owners: the launcher's own owner template, with the few kinds of
// resource only this program obtains.

#include <windows.h>

#include "platform/win32/UniqueResource.h"

namespace verify {

using platform::win32::UniqueFile;
using platform::win32::UniqueFind;
using platform::win32::UniqueKernelHandle;
using platform::win32::UniqueKey;
using platform::win32::UniqueResource;

// What the security functions allocate with LocalAlloc, typed as each one hands it out.
template <typename T>
struct LocalTraits {
    using Type = T;
    static Type Invalid() { return nullptr; }
    static void Release(Type p) { LocalFree(p); }
};
template <typename T>
using UniqueLocal = UniqueResource<LocalTraits<T>>;

// A library loaded at run time.
struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() { return nullptr; }
    static void Release(Type module) { FreeLibrary(module); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

// A COM interface pointer, released once.
template <typename T>
struct ComTraits {
    using Type = T*;
    static Type Invalid() { return nullptr; }
    static void Release(Type p) { p->Release(); }
};
template <typename T>
using UniqueCom = UniqueResource<ComTraits<T>>;

}  // namespace verify
