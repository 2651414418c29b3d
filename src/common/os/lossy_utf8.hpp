// Lossy UTF-8 decoding: turns arbitrary bytes into valid UTF-8 text, replacing every ill-formed
// sequence with U+FFFD (one replacement per maximal ill-formed subpart, as Unicode recommends).
// ASCII bytes are never consumed by a replacement, so an invalid byte can neither hide nor create
// an ASCII character of the text.
//
// Thread-safety: pure function.
#pragma once

#include <string>
#include <string_view>

namespace velmot::os {

std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace velmot::os
