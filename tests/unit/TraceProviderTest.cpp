#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <algorithm>
#include <string_view>
#include <string>
#include <vector>

#include "platform/TraceProvider.h"

namespace platform {
namespace {

// SHA-1 as FIPS 180-4 defines it, for these few bytes only.
std::array<std::uint8_t, 20> Sha1(std::vector<std::uint8_t> message) {
    const std::uint64_t bits = message.size() * 8;
    message.push_back(0x80);
    while (message.size() % 64 != 56) message.push_back(0);
    for (int shift = 56; shift >= 0; shift -= 8) message.push_back(static_cast<std::uint8_t>(bits >> shift));

    std::array<std::uint32_t, 5> h = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const auto rotate = [](std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::array<std::uint32_t, 80> w{};
        for (std::size_t i = 0; i < 16; ++i) {
            w.at(i) = static_cast<std::uint32_t>(message[block + 4 * i] << 24 | message[block + 4 * i + 1] << 16 |
                                                 message[block + 4 * i + 2] << 8 | message[block + 4 * i + 3]);
        }
        for (std::size_t i = 16; i < 80; ++i) {
            w.at(i) = rotate(w.at(i - 3) ^ w.at(i - 8) ^ w.at(i - 14) ^ w.at(i - 16), 1);
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (std::size_t i = 0; i < 80; ++i) {
            std::uint32_t f = 0, k = 0;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999u;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1u;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDCu;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6u;
            }
            const std::uint32_t next = rotate(a, 5) + f + e + k + w.at(i);
            e = d;
            d = c;
            c = rotate(b, 30);
            b = a;
            a = next;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<std::uint8_t, 20> digest{};
    for (std::size_t i = 0; i < 20; ++i) digest.at(i) = static_cast<std::uint8_t>(h.at(i / 4) >> (24 - 8 * (i % 4)));
    return digest;
}

template <int Digits>
void AppendHex(std::string& text, std::uint32_t value) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    for (int shift = 4 * (Digits - 1); shift >= 0; shift -= 4) text.push_back(kDigits[(value >> shift) & 0xFu]);
}

std::string Hex(const std::array<std::uint8_t, 20>& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) AppendHex<2>(text, byte);
    return text;
}

// As a GUID is written: its first three fields as numbers, then the last eight bytes.
std::string GuidText(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                     const std::array<std::uint8_t, 8>& data4) {
    std::string text;
    AppendHex<8>(text, data1);
    text += '-';
    AppendHex<4>(text, data2);
    text += '-';
    AppendHex<4>(text, data3);
    text += '-';
    for (std::size_t i = 0; i < data4.size(); ++i) {
        if (i == 2) text += '-';
        AppendHex<2>(text, data4.at(i));
    }
    return text;
}

// The provider-name convention: the namespace's bytes, then the upper-cased name as UTF-16
// big-endian; the hash's first 16 bytes with version 5 in byte 7, read as a little-endian GUID.
std::string GuidFromName(const std::string& name) {
    std::vector<std::uint8_t> input = {0x48, 0x2C, 0x2D, 0xB2, 0xC3, 0x90, 0x47, 0xC8,
                                       0x87, 0xF8, 0x1A, 0x15, 0xBF, 0xC1, 0x30, 0xFB};
    for (const char c : name) {
        input.push_back(0);
        input.push_back(static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
    std::array<std::uint8_t, 20> hash = Sha1(input);
    hash[7] = static_cast<std::uint8_t>((hash[7] & 0x0F) | 0x50);
    const auto little = [&hash](std::size_t at, std::size_t bytes) {
        std::uint32_t value = 0;
        for (std::size_t i = bytes; i > 0; --i) value = value << 8 | hash.at(at + i - 1);
        return value;
    };
    std::array<std::uint8_t, 8> tail{};
    std::copy(hash.begin() + 8, hash.begin() + 16, tail.begin());
    return GuidText(little(0, 4), static_cast<std::uint16_t>(little(4, 2)), static_cast<std::uint16_t>(little(6, 2)),
                    tail);
}

TEST(TraceProvider, GuidIsTheOneItsNameHashesTo) {
    EXPECT_EQ(Hex(Sha1({'a', 'b', 'c'})), "a9993e364706816aba3e25717850c26c9cd0d89d");   // FIPS 180 example
    // The example Microsoft gives with the convention, so that the derivation is the documented one.
    EXPECT_EQ(GuidFromName("MyCompany.MyComponent"), "ce5fa4ea-ab00-5402-8b76-9f76ac858fb5");
    const std::string constant =
        GuidText(kTraceProviderGuid.data1, kTraceProviderGuid.data2, kTraceProviderGuid.data3, kTraceProviderGuid.data4);
    EXPECT_EQ(constant, GuidFromName(std::string(kTraceProviderName)));
    EXPECT_EQ(constant, "d0208507-037d-55cf-db2e-1c0507d1ccf9");   // as the README states it
}

}  // namespace
}  // namespace platform
