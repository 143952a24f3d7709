// UTF-8 stepping: the one decoder for every place that counts, inspects or
// repairs characters.
#pragma once

#include <cstddef>
#include <string_view>

namespace twf {

// Length of the valid UTF-8 sequence starting at s[pos] (1 to 4), storing
// its code point; 0 when the bytes there are not valid UTF-8 (overlong
// forms and surrogates included).
size_t Utf8SequenceLength(std::string_view s, size_t pos, char32_t* codePoint = nullptr);

} // namespace twf
