// A tty's settings read and written whole, with the rate as a number of
// bits per second (the kernel's termios2), so that rates without a B-name
// can be set and a change of flags and rate is one call. Kept apart from
// <termios.h>, whose struct termios clashes with the kernel's header.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelo::host {

// Control characters the kernel keeps (its NCCS); their indexes and the
// flag bits are those of <termios.h>.
inline constexpr size_t kLineControlChars = 19;
// The value of the rate field of c_cflag (CBAUD) that says "the rate is the
// number in outputRate" (the kernel's BOTHER).
inline constexpr uint32_t kRateByNumber = 0010000;

struct LineSettings {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;  // its rate field holds a B-code or kRateByNumber
  uint32_t lflag = 0;
  uint8_t discipline = 0;
  uint8_t cc[kLineControlChars] = {};
  // Bits per second. The kernel reports the number for every line; on a
  // write it is used when the rate field says kRateByNumber, and the input
  // rate follows the output rate.
  uint32_t outputRate = 0;
};

// 0, or the errno of the failed ioctl.
int ReadLineSettings(int fd, LineSettings* line);
int WriteLineSettings(int fd, const LineSettings& line);

}  // namespace kelo::host
