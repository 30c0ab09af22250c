// Time services.
#pragma once

#include <cstdint>

namespace vandrel::platform {

void SleepMs(unsigned milliseconds);
// Milliseconds of a monotonic clock.
std::uint64_t TickMs();

}  // namespace vandrel::platform
