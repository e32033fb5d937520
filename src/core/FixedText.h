#pragma once
// Fixed-width, zero-terminated text fields of the stored records.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel {

// The text of width bytes at data: up to the first zero, never beyond width (bytes without a
// zero are taken whole). The one reading of every stored field and length-counted block.
inline std::string_view FixedTextView(const char* data, std::size_t width) {
    if (!data || width == 0)
        return std::string_view();
    const void* zero = std::memchr(data, 0, width);
    return std::string_view(data, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : width);
}

template <std::size_t N> std::string_view FieldView(const char (&field)[N]) {
    return FixedTextView(field, N);
}

template <std::size_t N> std::string FieldText(const char (&field)[N]) {
    return std::string(FieldView(field));
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

// Clears the bytes behind a field's zero, so that what a record held before never reaches a
// file; a field without a zero is left as it is.
template <std::size_t N> void ClearFieldTail(char (&field)[N]) {
    if (void* zero = std::memchr(field, 0, N))
        std::memset(zero, 0, N - static_cast<std::size_t>(static_cast<char*>(zero) - field));
}

} // namespace kestrel
