#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

// What every fuzz target shares: reading the input as a stream of small decisions, and
// turning a broken promise into a crash that libFuzzer keeps as a finding.
namespace fuzz {

inline void Require(bool holds, const char* promise, const std::string& detail = {}) {
    if (holds) return;
    const std::string message = "broken promise: " + std::string(promise) + "\n" + detail + "\n";
    (void)std::fputs(message.c_str(), stderr);   // nothing is left to do if this fails
    std::abort();
}

// The prefix ("\\x" or "\\u") and the value in `Digits` upper-case hex digits.
template <int Digits>
std::string Escaped(const char* prefix, unsigned value) {
    constexpr std::string_view kHexDigits = "0123456789ABCDEF";
    std::string out = prefix;
    for (int shift = 4 * (Digits - 1); shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xFu]);
    return out;
}

// Bytes for messages: printable ASCII as it is, everything else as \xHH.
inline std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 0x20 && value < 0x7F) {
            out.push_back(byte);
        } else {
            out += Escaped<2>("\\x", value);
        }
    }
    return out;
}

// Reads the fuzzer's bytes front to back; past the end every read yields zero, so that any
// input decodes to something.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
    bool Empty() const { return at_ >= bytes_.size(); }
    std::size_t Remaining() const { return bytes_.size() - at_; }
    std::uint8_t Byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
    std::uint16_t Unit() {
        const auto low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    // One of `count` choices.
    std::size_t Pick(std::size_t count) { return count == 0 ? 0 : Byte() % count; }
    std::string_view Rest() {
        const std::span<const std::uint8_t> rest = bytes_.subspan(at_);
        at_ = bytes_.size();
        // The same bytes, read as the 8-bit text they stand for.
        return {reinterpret_cast<const char*>(rest.data()), rest.size()};   // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// Narrow text for messages: units above 0x7E shown as \uXXXX.
inline std::string Printable(std::u16string_view text) {
    std::string out;
    for (const char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out.push_back(static_cast<char>(unit));
        } else {
            out += Escaped<4>("\\u", unit);
        }
    }
    return out;
}

}  // namespace fuzz
