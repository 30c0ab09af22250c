// Names from disk as every front end shows them: each one a single path
// component the host can hold, unique within its folder.
//
// The rule, applied to every reader's names:
//   - "/", "\", NUL and control bytes (0x01-0x1F, 0x7F) become %XX
//     (upper-case hex of the byte), so "a/b" shows as "a%2Fb";
//   - "." and ".." become "%2E" and "%2E%2E", an empty name "(no name)";
//   - a name over 255 bytes is cut, keeping its extension, and marked "~";
//   - the second and later entries of one name get " (2)", " (3)", ...
//     before the extension.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel {

struct TFileEntry;

// Longest name the host's folders take, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

// One name from disk made a single safe path component.
std::string PresentName(std::string_view raw);

// Names every entry of one folder by the rule above, in place.
void PresentNames(std::vector<TFileEntry>& entries);

}  // namespace vandrel
