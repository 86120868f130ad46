#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
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
            w[i] = static_cast<std::uint32_t>(message[block + 4 * i] << 24 | message[block + 4 * i + 1] << 16 |
                                              message[block + 4 * i + 2] << 8 | message[block + 4 * i + 3]);
        }
        for (std::size_t i = 16; i < 80; ++i) w[i] = rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
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
            const std::uint32_t next = rotate(a, 5) + f + e + k + w[i];
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
    for (std::size_t i = 0; i < 20; ++i) digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

std::string Hex(const std::array<std::uint8_t, 20>& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) {
        std::array<char, 3> two{};
        std::snprintf(two.data(), two.size(), "%02x", byte);
        text += two.data();
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
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  hash[3], hash[2], hash[1], hash[0], hash[5], hash[4], hash[7], hash[6], hash[8], hash[9], hash[10],
                  hash[11], hash[12], hash[13], hash[14], hash[15]);
    return text.data();
}

std::string GuidText(const ProviderGuid& guid) {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.data1, guid.data2,
                  guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3], guid.data4[4], guid.data4[5],
                  guid.data4[6], guid.data4[7]);
    return text.data();
}

TEST(TraceProvider, GuidIsTheOneItsNameHashesTo) {
    EXPECT_EQ(Hex(Sha1({'a', 'b', 'c'})), "a9993e364706816aba3e25717850c26c9cd0d89d");   // FIPS 180 example
    // The example Microsoft gives with the convention, so that the derivation is the documented one.
    EXPECT_EQ(GuidFromName("MyCompany.MyComponent"), "ce5fa4ea-ab00-5402-8b76-9f76ac858fb5");
    EXPECT_EQ(GuidText(kTraceProviderGuid), GuidFromName(std::string(kTraceProviderName)));
    EXPECT_EQ(GuidText(kTraceProviderGuid), "d0208507-037d-55cf-db2e-1c0507d1ccf9");   // as README states it
}

}  // namespace
}  // namespace platform
