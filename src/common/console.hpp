// Console messages: the module's diagnostics are whole lines written straight to standard error.
//
// Thread-safety: may be called from any thread. Each call is one write, so lines from different
// threads do not interleave.
#pragma once

#include <string_view>

namespace velmot {

// Writes `text` (normally one line ending in '\n') to stderr in one write and flushes it.
void write_stderr(std::string_view text);

}  // namespace velmot
