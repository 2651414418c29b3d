// The one-line text of a Python exception that the module reports instead of raising: the
// exception type's qualified name, ": ", then str() of the value ("ValueError: bad input"). When
// str() itself raises, the text after the name is ": <exception str() failed>". Lone surrogates,
// which UTF-8 cannot encode, come out as U+FFFD. Timers print this text; background tasks store it.
//
// Thread-safety: needs the GIL.
#pragma once

#include <string>

namespace velmot::binding {

// Takes the current Python exception (one must be set), clears it and returns its text.
std::string take_exception_text();

}  // namespace velmot::binding
