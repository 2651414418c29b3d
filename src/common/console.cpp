// Console messages on standard error.
#include "common/console.hpp"

#include <cstdio>

namespace velmot {

void write_stderr(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace velmot
