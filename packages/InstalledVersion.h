#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace packages {

// The version the last successful presence query read: 255 UTF-16 units, always
// terminated, at most 254 units of text. One instance lives for the whole run.
class InstalledVersion {
public:
    static constexpr std::size_t kCapacity = 255;
    static constexpr std::size_t kMaxLength = kCapacity - 1;

    std::u16string_view Text() const { return std::u16string_view(units_.data()); }
    void Clear() { units_.fill(u'\0'); }
    // Replaces the text; a text longer than kMaxLength leaves the version empty.
    void Assign(std::u16string_view text) {
        Clear();
        if (text.size() > kMaxLength) return;
        text.copy(units_.data(), text.size());
    }

private:
    std::array<char16_t, kCapacity> units_{};
};

}  // namespace packages
