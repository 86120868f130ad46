#include "Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <array>

#include "Handles.h"

namespace verify {
namespace {

struct AlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Invalid() { return nullptr; }
    static void Release(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};

constexpr std::size_t kDigestBytes = 32;

}  // namespace

std::wstring Sha256Hex(const std::string& bytes) {
    UniqueResource<AlgorithmTraits> algorithm;
    std::array<UCHAR, kDigestBytes> digest{};
    // BCryptHash takes the input as non-const; it only reads it.
    auto* input = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptHash(algorithm.get(), nullptr, 0, input, static_cast<ULONG>(bytes.size()), digest.data(),
                                   static_cast<ULONG>(digest.size())))) {
        return {};
    }
    std::wstring hex;
    for (const UCHAR b : digest) {
        constexpr wchar_t kDigits[] = L"0123456789abcdef";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

}  // namespace verify
