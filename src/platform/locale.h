// Locale services: the case folding behind every name comparison.
#pragma once

namespace vandrel::platform {

// Simple case folding of one code point (the lower-case form).
char32_t FoldCase(char32_t codePoint);

}  // namespace vandrel::platform
