// Formatting helpers shared by the lists, the scan status lines and the
// properties window.
#pragma once

#include <cstdint>
#include <string>

namespace vandrel {

// printf into a std::string.
std::string Sprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "%0.2f KiB/MiB/GiB/TiB": bytes / 1024, divided again while above 1000
// (at most three times). Empty for the all-ones value that stands for "unknown".
std::string FormatSize(std::uint64_t bytes);

// Decimal digits in groups of three from the right, each group followed by
// one blank: 1234 gives "1 234 ".
std::string GroupDigits(std::uint64_t value);

// Leading and trailing white space (and control characters) removed.
std::string Trim(std::string_view text);

bool StartsWith(std::string_view text, std::string_view prefix);
bool Contains(std::string_view text, std::string_view part);

}  // namespace vandrel
