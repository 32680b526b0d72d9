// Windows-style integer names used across the toolkit's interfaces.
#pragma once

#include <cstdint>

typedef uint32_t DWORD;
typedef uint64_t UINT64;
