// `_byte_array(iterable)`: a new array of type code "B" holding the elements.
#include "codec/byte_array.hpp"

#include "module/classes.hpp"
#include "module/state.hpp"

namespace qel {

Ref new_byte_array(PyObject* iterable) { return call(state().array_type, state().typecode_B, iterable); }

Ref new_byte_array(const std::uint8_t* data, std::size_t size) {
    Ref bytes = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    return new_byte_array(bytes.get());
}

namespace {
Ref byte_array(const Args& a) { return new_byte_array(a[0]); }
}  // namespace

constexpr MemberRow kByteArrayFunction = module_function("_byte_array", byte_array, arg("iterable", Ann::Iterable));

}  // namespace qel
