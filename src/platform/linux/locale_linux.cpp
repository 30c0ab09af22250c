#include <clocale>
#include <cwctype>
#include <locale.h>

#include "platform/locale.h"

namespace vandrel::platform {
namespace {

locale_t Utf8Locale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return locale;
}

}  // namespace

char32_t FoldCase(char32_t codePoint) {
  if (codePoint < 0x80) {
    return (codePoint >= 'A' && codePoint <= 'Z') ? codePoint + 32 : codePoint;
  }
  const locale_t locale = Utf8Locale();
  if (locale == static_cast<locale_t>(nullptr)) return codePoint;
  return static_cast<char32_t>(towlower_l(static_cast<wint_t>(codePoint), locale));
}

}  // namespace vandrel::platform
