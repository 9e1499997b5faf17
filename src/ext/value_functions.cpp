// The typed values of the companion's register tools, as Python objects:
// `_registers_of(kind, order)`, `_unpack(kind, order, data, count)` and
// `_pack(kind, order, value)`. The layouts themselves are the core's.
#include "core/values.hpp"
#include "core/words.hpp"
#include "ext/companion_classes.hpp"
#include "module/buffer.hpp"

#include <algorithm>
#include <cstdint>

namespace qel {

namespace {

using codec::ValueKind;
using codec::ValueLayout;
using codec::WordOrder;

// Whether `name` is a str that `parse` takes, the result in `out`.
template <class T>
bool parse_name(PyObject* name, bool (*parse)(const char*, std::size_t, T&), T& out) {
    if (!PyUnicode_Check(name)) return false;
    Py_ssize_t size = 0;
    const char* chars = PyUnicode_AsUTF8AndSize(name, &size);
    if (chars == nullptr) {
        PyErr_Clear();
        return false;
    }
    return parse(chars, static_cast<std::size_t>(size), out);
}

ValueLayout layout_of(PyObject* kind) {
    ValueLayout layout{};
    if (parse_name(kind, codec::parse_kind, layout)) return layout;
    PyErr_Format(PyExc_ValueError,
                 "kind must be int16, uint16, int32, uint32, float32, int64, uint64, float64 or string(N) "
                 "with N in 1..%d, not %R",
                 static_cast<int>(codec::kMaxTextRegisters), kind);
    throw PythonError{};
}

WordOrder order_of(PyObject* order) {
    WordOrder parsed{};
    if (parse_name(order, codec::parse_order, parsed)) return parsed;
    PyErr_Format(PyExc_ValueError, "order must be ABCD, CDAB, BADC or DCBA, not %R", order);
    throw PythonError{};
}

// One value from its registers' bytes as they came.
Ref unpack_one(const std::uint8_t* data, ValueLayout layout, WordOrder order) {
    std::uint8_t bytes[2 * codec::kMaxTextRegisters];
    const std::size_t size = 2 * layout.registers;
    std::copy(data, data + size, bytes);
    codec::arrange(bytes, layout.registers, order);
    if (layout.kind == ValueKind::Text) {
        std::size_t length = size;
        while (length > 0 && bytes[length - 1] == 0) --length;  // NUL padding
        return checked(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(length), nullptr));
    }
    const std::uint64_t bits = codec::get_integer(bytes, layout.registers);
    if (codec::is_float(layout.kind)) return checked(PyFloat_FromDouble(codec::float_value(layout.kind, bits)));
    if (codec::is_signed(layout.kind)) return checked(PyLong_FromLongLong(codec::as_signed(layout.kind, bits)));
    return checked(PyLong_FromUnsignedLongLong(bits));
}

[[noreturn]] void raise_out_of_range(PyObject* kind, PyObject* value) {
    PyErr_Format(PyExc_OverflowError, "%S cannot hold %R", kind, value);
    throw PythonError{};
}

// The bits of an integer value, checked against its kind.
std::uint64_t integer_bits(PyObject* kind, ValueLayout layout, PyObject* value) {
    Ref index = checked(PyNumber_Index(value));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow == 0) {
        if (!codec::holds_signed(layout.kind, v)) raise_out_of_range(kind, value);
        return static_cast<std::uint64_t>(v);
    }
    if (overflow < 0) raise_out_of_range(kind, value);
    const unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        raise_out_of_range(kind, value);
    }
    if (!codec::holds_unsigned(layout.kind, u)) raise_out_of_range(kind, value);
    return u;
}

std::uint64_t float_bits(PyObject* kind, ValueLayout layout, PyObject* value) {
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw PythonError{};
    if (layout.kind == ValueKind::Float32 && codec::too_large_for_float(d)) raise_out_of_range(kind, value);
    return codec::float_bits(layout.kind, d);
}

void put_text(PyObject* kind, ValueLayout layout, PyObject* value, std::uint8_t* bytes) {
    if (!PyUnicode_Check(value)) raise(PyExc_TypeError, "a string value must be a str");
    Ref encoded = checked(PyUnicode_AsLatin1String(value));
    const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()));
    if (size > 2 * layout.registers) {
        PyErr_Format(PyExc_ValueError, "%S holds at most %d characters", kind, static_cast<int>(2 * layout.registers));
        throw PythonError{};
    }
    std::fill(bytes, bytes + 2 * layout.registers, 0);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(encoded.get())), size, bytes);
}

// The registers one value takes; the order is checked with the kind, so a
// read can be refused before it is sent.
Ref registers_of(const Args& a) {
    order_of(a[1]);
    return new_int(static_cast<long long>(layout_of(a[0]).registers));
}

Ref unpack(const Args& a) {
    auto [kind, order, data, count] = a.take<4>();
    const ValueLayout layout = layout_of(kind);
    const WordOrder word_order = order_of(order);
    const Py_ssize_t n = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PythonError{};
    Buffer registers(data);
    const std::size_t width = 2 * layout.registers;
    if (n < 0 || registers.size() != width * static_cast<std::size_t>(n)) {
        PyErr_Format(PyExc_ValueError, "%zd values of %S take %zd bytes, not %zd", n, kind,
                     static_cast<Py_ssize_t>(width) * n, static_cast<Py_ssize_t>(registers.size()));
        throw PythonError{};
    }
    Ref values = checked(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(values.get(), i, unpack_one(registers.data() + width * static_cast<std::size_t>(i), layout, word_order).release());
    return values;
}

Ref pack(const Args& a) {
    auto [kind, order, value] = a.take<3>();
    const ValueLayout layout = layout_of(kind);
    const WordOrder word_order = order_of(order);
    std::uint8_t bytes[2 * codec::kMaxTextRegisters];
    if (layout.kind == ValueKind::Text)
        put_text(kind, layout, value, bytes);
    else
        codec::put_integer(codec::is_float(layout.kind) ? float_bits(kind, layout, value) : integer_bits(kind, layout, value),
                           layout.registers, bytes);
    codec::arrange(bytes, layout.registers, word_order);
    return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(2 * layout.registers)));
}

}  // namespace

constexpr MemberRow kRegistersOfFunction = module_function("_registers_of", registers_of, arg("kind"), arg("order"));
constexpr MemberRow kUnpackFunction =
    module_function("_unpack", unpack, arg("kind"), arg("order"), arg("data"), arg("count"));
constexpr MemberRow kPackFunction = module_function("_pack", pack, arg("kind"), arg("order"), arg("value"));

}  // namespace qel
