// Conversions from Lua numbers that must stay defined for every input.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Truncates toward zero to a signed 32-bit integer. NaN and values outside the range give
// INT32_MIN, as a 32-bit x86 conversion does, instead of the undefined behaviour of a cast.
inline int32_t TruncateToInt32(double value) {
    if (!(value > -2147483649.0 && value < 2147483648.0)) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}
