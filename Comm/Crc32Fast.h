// CRC-32 kernels behind qmCRC: a carry-less multiplication fold where the
// processor has it, a slicing-by-16 table loop everywhere else, and the file
// reader that feeds them in large blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc32fast {

// The kernels. Auto is the fastest one this processor runs, chosen once.
enum class Kernel { Auto, Portable, Pclmul, Vpclmul512 };

// True when this build and this processor can run the kernel.
bool KernelAvailable(Kernel kernel);

// Name of the kernel that Auto stands for on this processor.
const char* AutoKernelName();

// Advances the CRC register (preset 0xFFFFFFFF, not inverted) over n bytes,
// exactly as the byte-at-a-time table loop does.
uint32_t Update(uint32_t reg, const unsigned char* data, size_t n);

// Update with a chosen kernel; an unavailable one falls back to Portable.
uint32_t UpdateWith(Kernel kernel, uint32_t reg, const unsigned char* data, size_t n);

// Feeds the bytes [begin, end) of fd into reg, read in large blocks into a
// buffer on the stack. A read error or an early end of file stops the loop:
// the result then covers the whole 8192-byte blocks (counted from begin)
// before the failing one, as reading in 8192-byte blocks would give.
// Sets *complete to false in that case, to true otherwise.
uint32_t UpdateFromFd(int fd, uint64_t begin, uint64_t end, uint32_t reg, bool* complete);

}  // namespace crc32fast
