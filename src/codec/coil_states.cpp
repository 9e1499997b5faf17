#include "codec/coil_states.hpp"

#include "core/frames.hpp"

namespace qel {

namespace {

Py_ssize_t states_wanted(std::size_t byte_count, PyObject* count) {
    const auto available = static_cast<Py_ssize_t>(8 * byte_count);
    Ref limit = new_int(available);
    if (checked_status(PyObject_RichCompareBool(limit.get(), count, Py_LT))) return available;
    // Beyond the index range the count clips: a huge negative one wants none.
    Py_ssize_t wanted = PyNumber_AsSsize_t(count, nullptr);
    if (wanted == -1 && PyErr_Occurred()) throw PythonError{};
    return wanted < 0 ? 0 : wanted;
}

}  // namespace

Ref coil_state_list(const std::uint8_t* data, std::size_t byte_count, PyObject* count) {
    const Py_ssize_t n = states_wanted(byte_count, count);
    Ref list = checked(PyList_New(n));
    for (Py_ssize_t k = 0; k < n; ++k)
        PyList_SET_ITEM(list.get(), k, boolean(codec::data_bit(data, static_cast<std::size_t>(k))).release());
    return list;
}

}  // namespace qel
