// Number formatting shared by the reports and representations.
#pragma once

#include <cstdint>
#include <string>

namespace ipc_probe {

// Plain decimal, no sign, separators or padding.
void append_decimal(std::string& out, std::uint64_t value);

// Fixed notation with exactly one digit after the point, correctly rounded from the
// double's exact binary value, halfway cases to the even digit: 0.25 -> "0.2".
void append_one_decimal(std::string& out, double value);

}  // namespace ipc_probe
