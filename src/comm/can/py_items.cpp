// Python items of the comm::can subsystem (none yet): registered into the module's item catalog.
//
// Thread-safety: called once from the module's init function, with the GIL held.
#include "binding/python_items.hpp"

namespace velmot::comm::can {

void register_python_items(binding::ItemCatalog& /*catalog*/) {}

}  // namespace velmot::comm::can
