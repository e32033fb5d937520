#pragma once
// Fixed-width, zero-terminated text fields of the stored records.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel {

// The text of a field: up to its first zero, never beyond its width (a field without a zero
// is taken whole).
template <std::size_t N> std::string FieldText(const char (&field)[N]) {
    const void* zero = std::memchr(field, 0, N);
    return std::string(field, zero ? static_cast<const char*>(zero) - field : N);
}

// Stores text with its zero and clears the rest of the field. Returns false, and leaves the
// field unchanged, when the text does not fit (at most N - 1 bytes).
template <std::size_t N> bool SetFieldText(char (&field)[N], std::string_view text) {
    if (text.size() > N - 1)
        return false;
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
    return true;
}

} // namespace kestrel
