#include "Sha256.h"

#include <windows.h>

#include <wincrypt.h>

#include <array>

#include "Handles.h"

namespace verify {
namespace {

struct ProviderTraits {
    using Type = HCRYPTPROV;
    static Type Invalid() { return 0; }
    static void Release(Type h) { CryptReleaseContext(h, 0); }
};

struct HashTraits {
    using Type = HCRYPTHASH;
    static Type Invalid() { return 0; }
    static void Release(Type h) { CryptDestroyHash(h); }
};

constexpr DWORD kDigestBytes = 32;

}  // namespace

std::wstring Sha256Hex(const std::string& bytes) {
    UniqueResource<ProviderTraits> provider;
    UniqueResource<HashTraits> hash;
    std::array<BYTE, kDigestBytes> digest{};
    DWORD size = kDigestBytes;
    if (!CryptAcquireContextW(provider.out(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.out()) ||
        !CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) ||
        !CryptGetHashParam(hash.get(), HP_HASHVAL, digest.data(), &size, 0) || size != kDigestBytes) {
        return {};
    }
    std::wstring hex;
    for (const BYTE b : digest) {
        constexpr wchar_t kDigits[] = L"0123456789abcdef";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

}  // namespace verify
