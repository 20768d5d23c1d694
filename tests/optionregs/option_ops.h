// The I/O log of a board's first port block read back as option register
// operations: each access sequence the bus driver may run becomes one entry,
//   "RO=xx"  read of the option register, xx the value read,
//   "WO xx"  write of the option register,
//   "RM=xx"  read of the mode control register,
//   "WM xx"  write of the mode control register,
//   "SET n"  the option setting n programmed with the divisor-latch bit alone,
// each checked to put back the LCR (and option register) it found. Any other
// access, or a sequence cut short, gives an entry starting with "?".
#pragma once

#include <hk/host.h>

#include <string>
#include <vector>

namespace optiontest {

// Every access of the log, or, with |image|, only that image's accesses to
// the eight registers of the first port block.
std::vector<std::string> OptionOps(ULONG uartBase, const std::string &image = std::string());

// The presence signature of a register whose value is |original| (bits 7-6
// clear) on a genuine card: four write/read pairs and the value put back.
std::vector<std::string> GenuineSignature(unsigned char original);

// Concatenation, for building expected sequences.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b);

}  // namespace optiontest
