#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// What every fuzz target shares: reading the input as a stream of small decisions, and
// turning a broken promise into a crash that libFuzzer keeps as a finding.
namespace fuzz {

inline void Require(bool holds, const char* promise, const std::string& detail = {}) {
    if (holds) return;
    std::fprintf(stderr, "broken promise: %s\n%s\n", promise, detail.c_str());
    std::abort();
}

// Bytes for messages: printable ASCII as it is, everything else as \xHH.
inline std::string Printable(std::string_view bytes) {
    std::string out;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (value >= 0x20 && value < 0x7F) {
            out.push_back(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(value));
            out += escaped;
        }
    }
    return out;
}

// Reads the fuzzer's bytes front to back; past the end every read yields zero, so that any
// input decodes to something.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::size_t Remaining() const { return size_ - at_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t Unit() {
        const auto low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    // One of `count` choices.
    std::size_t Pick(std::size_t count) { return count == 0 ? 0 : Byte() % count; }
    std::string_view Rest() {
        const std::string_view rest(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
        at_ = size_;
        return rest;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Narrow text for messages: units above 0x7E shown as \uXXXX.
inline std::string Printable(std::u16string_view text) {
    std::string out;
    for (const char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out.push_back(static_cast<char>(unit));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}

}  // namespace fuzz
