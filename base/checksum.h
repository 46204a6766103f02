// A fast 64-bit checksum (the XXH64 algorithm) for telling a whole record from a torn one.
#pragma once

#include "base/bytes.h"

#include <cstdint>

namespace tg {

std::uint64_t checksum64(Bytes data, std::uint64_t seed = 0);

} // namespace tg
