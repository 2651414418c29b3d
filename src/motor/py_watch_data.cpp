// Conversion of feedback records to Python dicts.
#include "motor/py_watch_data.hpp"

#include "binding/convert.hpp"
#include "binding/error.hpp"

namespace velmot::motor {

namespace {

void set_float(PyObject* dict, const char* key, float value) {
    binding::Ref number = binding::Ref::steal(binding::to_python(value));
    binding::check_status(PyDict_SetItemString(dict, key, number.get()));
}

}  // namespace

binding::Ref watch_data_to_python(const WatchData& record) {
    binding::Ref dict = binding::Ref::steal(binding::check(PyDict_New()));
    set_float(dict.get(), "position", record.position);
    set_float(dict.get(), "speed", record.speed);
    set_float(dict.get(), "current", record.current);
    return dict;
}

}  // namespace velmot::motor
