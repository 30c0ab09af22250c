// The numbered English message texts shared by the lists and dialogs.
#pragma once

#include <string>

namespace vandrel {

inline constexpr int kMessageCount = 170;

// Entry n for 0 <= n <= 169 (empty when unset), otherwise n in decimal.
std::string Message(int number);

}  // namespace vandrel
