// Locale services: the case folding behind every name comparison.
#pragma once

#include <string_view>

namespace vandrel::platform {

// Simple case folding of one code point (the lower-case form).
char32_t FoldCase(char32_t codePoint);

}  // namespace vandrel::platform

namespace vandrel {

// Names compare equal when their code points match after simple case folding.
bool EqualNoCase(std::string_view a, std::string_view b);
// <0, 0, >0 after simple case folding.
int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace vandrel
