#pragma once

#include <QString>
#include <cstddef>

namespace benchsupport {
// Peak resident set size of this process in bytes (VmHWM).
std::size_t peakRssBytes();
// Writes a generated event log of the given number of lines and columns
// (time, ip.src, ip.dst, numeric and text columns) and returns its path.
// The file is reused when it already exists with that shape.
QString generatedLog(int lines, int columns = 14, int traces = 20000);
}
