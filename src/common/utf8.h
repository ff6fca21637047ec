// UTF-8 validation and repair for text that comes from the kernel or the interpreter.
#pragma once

#include <string>
#include <string_view>

namespace ipc_probe {

bool is_valid_utf8(std::string_view bytes) noexcept;

// Valid UTF-8 passes unchanged; each maximal ill-formed subpart becomes one U+FFFD,
// the substitution the Unicode standard recommends.
std::string repair_utf8(std::string_view bytes);

}  // namespace ipc_probe
