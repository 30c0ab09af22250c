#include "common/func.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <vector>

namespace vandrel {

std::string Sprintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    out.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(args);
  return out;
}

std::string FormatSize(std::uint64_t bytes) {
  if (bytes == ~std::uint64_t{0}) return {};
  double value = static_cast<double>(bytes) / 1024.0;
  // Powers of 1024, so the units are the IEC ones.
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (value > 1000.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  return Sprintf("%0.2f %s", value, kUnits[unit]);
}

std::string GroupDigits(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  const std::size_t head = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    out.push_back(digits[i]);
    if (i + 1 == head || (i + 1 > head && (i + 1 - head) % 3 == 0)) out.push_back(' ');
  }
  return out;
}

std::string Trim(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace vandrel
