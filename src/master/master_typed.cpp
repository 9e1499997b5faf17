// Master's typed values: signed 16-bit, and signed, unsigned and float 32-bit
// values over register pairs, in either word order. The formats "i", "I" and
// "f" are converted natively; any other format, and any value the native path
// does not take, goes through the struct module so that results and errors
// are exactly its own.
#include "codec/words.hpp"
#include "master/master_bodies.hpp"
#include "module/plain_int.hpp"
#include "module/state.hpp"

#include <cmath>

namespace qel::master {

namespace {

enum class Format { Int32, UInt32, Float32, Other };

Format format_of(PyObject* sign) {
    if (!PyUnicode_CheckExact(sign) || PyUnicode_GET_LENGTH(sign) != 1) return Format::Other;
    switch (PyUnicode_READ_CHAR(sign, 0)) {
        case 'i': return Format::Int32;
        case 'I': return Format::UInt32;
        case 'f': return Format::Float32;
        default: return Format::Other;
    }
}

bool high_word_first(PyObject* endian) {
    return PyUnicode_CheckExact(endian) && PyUnicode_CompareWithASCIIString(endian, ">") == 0;
}

Ref text(const char* s) { return checked(PyUnicode_FromString(s)); }

Ref struct_call(PyObject* name, PyObject* format, PyObject* value) {
    return call_method(state().struct_module, name, format, value);
}

bool register_value(PyObject* v, std::uint16_t& out) {
    std::int64_t x;
    if (!plain_int(v, x) || x < 0 || x > 0xFFFF) return false;
    out = static_cast<std::uint16_t>(x);
    return true;
}

Ref value_of_pattern(std::uint32_t pattern, Format f) {
    switch (f) {
        case Format::Int32: return new_int(static_cast<std::int32_t>(pattern));
        case Format::UInt32: return new_int(pattern);
        default: return checked(PyFloat_FromDouble(codec::pattern_to_float(pattern)));
    }
}

// `struct.unpack(sign, struct.pack("HH", low, high))[0]`
Ref decode_pair(PyObject* low, PyObject* high, PyObject* sign) {
    std::uint16_t lo, hi;
    Format f = format_of(sign);
    if (f != Format::Other && register_value(low, lo) && register_value(high, hi))
        return value_of_pattern(static_cast<std::uint32_t>(hi) << 16 | lo, f);
    Ref hh = text("HH");
    Ref packed = call_method(state().struct_module, names().pack, hh.get(), low, high);
    Ref values = struct_call(names().unpack, sign, packed.get());
    return checked(PySequence_GetItem(values.get(), 0));
}

bool pattern_of_value(PyObject* value, Format f, std::uint32_t& pattern) {
    // Subclasses too: the struct module's native "f" would let a too large
    // value through as infinity.
    if (f == Format::Float32 && (PyFloat_Check(value) || PyLong_Check(value))) {
        double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) throw PythonError{};
        if (codec::too_large_for_float(d)) raise(PyExc_OverflowError, "float too large to pack with f format");
        pattern = codec::float_to_pattern(static_cast<float>(d));
        return true;
    }
    std::int64_t v;
    if ((f != Format::Int32 && f != Format::UInt32) || !PyLong_CheckExact(value) || !plain_int(value, v)) return false;
    bool fits = f == Format::Int32 ? (v >= INT32_MIN && v <= INT32_MAX) : (v >= 0 && v <= UINT32_MAX);
    if (!fits) return false;
    pattern = static_cast<std::uint32_t>(v);
    return true;
}

// `struct.unpack("HH", struct.pack(sign, value))`, as (low, high).
std::pair<Ref, Ref> encode_value(PyObject* value, PyObject* sign) {
    std::uint32_t pattern;
    if (pattern_of_value(value, format_of(sign), pattern))
        return {new_int(pattern & 0xFFFF), new_int(pattern >> 16)};
    Ref packed = struct_call(names().pack, sign, value);
    Ref hh = text("HH");
    Ref halves = struct_call(names().unpack, hh.get(), packed.get());
    return {checked(PySequence_GetItem(halves.get(), 0)), checked(PySequence_GetItem(halves.get(), 1))};
}

// `low, high = registers`, with the unpacking errors of a two-name target.
std::pair<Ref, Ref> unpack_two(PyObject* registers) {
    Ref seq = checked(PySequence_Fast(registers, "cannot unpack non-iterable object"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        throw PythonError{};
    }
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw PythonError{};
    }
    PyObject** items = PySequence_Fast_ITEMS(seq.get());
    return {Ref::borrow(items[0]), Ref::borrow(items[1])};
}

Ref read_with(const Args& a, const char* sign) {
    Ref s = text(sign);
    return call_method(a[0], names()._Master__read_int32, a[1], a[2], s.get(), a[3]);
}

Ref read_multi_with(const Args& a, const char* sign) {
    Ref s = text(sign);
    return call_method(a[0], names()._Master__read_multi_int32, a[1], a[2], a[3], s.get(), a[4]);
}

Ref write_with(const Args& a, const char* sign) {
    Ref s = text(sign);
    call_method(a[0], names()._Master__write_int32, a[1], a[2], a[3], s.get(), a[4]);
    return none();
}

Ref write_multi_with(const Args& a, const char* sign) {
    Ref s = text(sign);
    call_method(a[0], names()._Master__write_multi_int32, a[1], a[2], a[3], s.get(), a[4]);
    return none();
}

}  // namespace

Ref read_int16(const Args& a) {
    Ref value = call_method(a[0], names().read_register, a[1], a[2]);
    std::uint16_t r;
    if (register_value(value.get(), r)) return new_int(codec::as_int16(r));
    Ref h = text("H"), signed_h = text("h");
    Ref packed = struct_call(names().pack, h.get(), value.get());
    Ref values = struct_call(names().unpack, signed_h.get(), packed.get());
    return checked(PySequence_GetItem(values.get(), 0));
}

Ref read_int32_worker(const Args& a) {
    Ref two = new_int(2);
    Ref registers = call_method(a[0], names().read_registers, a[1], a[2], two.get());
    auto [low, high] = unpack_two(registers.get());
    if (high_word_first(a[4])) std::swap(low, high);
    return decode_pair(low.get(), high.get(), a[3]);
}

Ref read_uint32(const Args& a) { return read_with(a, "I"); }
Ref read_int32(const Args& a) { return read_with(a, "i"); }
Ref read_float(const Args& a) { return read_with(a, "f"); }

Ref read_multi_int32_worker(const Args& a) {
    PyObject *sign = a[4], *endian = a[5];
    Ref two = new_int(2);
    Ref wanted = checked(PyNumber_Multiply(two.get(), a[3]));
    Ref registers = call_method(a[0], names().read_registers, a[1], a[2], wanted.get());
    Py_ssize_t count = PyNumber_AsSsize_t(a[3], PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) throw PythonError{};
    const bool swap = high_word_first(endian);
    Ref values = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref low = checked(PySequence_GetItem(registers.get(), 2 * i));
        Ref high = checked(PySequence_GetItem(registers.get(), 2 * i + 1));
        if (swap) std::swap(low, high);
        checked_status(PyList_Append(values.get(), decode_pair(low.get(), high.get(), sign).get()));
    }
    return values;
}

Ref read_multi_uint32(const Args& a) { return read_multi_with(a, "I"); }
Ref read_multi_int32(const Args& a) { return read_multi_with(a, "i"); }
Ref read_multi_float(const Args& a) { return read_multi_with(a, "f"); }

Ref write_int32_worker(const Args& a) {
    auto [low, high] = encode_value(a[3], a[4]);
    if (high_word_first(a[5])) std::swap(low, high);
    Ref registers = checked(PyList_New(2));
    PyList_SET_ITEM(registers.get(), 0, low.release());
    PyList_SET_ITEM(registers.get(), 1, high.release());
    call_method(a[0], names().write_registers, a[1], a[2], registers.get());
    return none();
}

Ref write_int32(const Args& a) { return write_with(a, "i"); }
Ref write_uint32(const Args& a) { return write_with(a, "I"); }
Ref write_float(const Args& a) { return write_with(a, "f"); }

// Every value is converted before the single request goes out.
Ref write_multi_int32_worker(const Args& a) {
    const bool swap = high_word_first(a[5]);
    Ref registers = checked(PyList_New(0));
    Ref iter = checked(PyObject_GetIter(a[3]));
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref value = Ref::steal(raw);
        auto [low, high] = encode_value(value.get(), a[4]);
        if (swap) std::swap(low, high);
        checked_status(PyList_Append(registers.get(), low.get()));
        checked_status(PyList_Append(registers.get(), high.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    call_method(a[0], names().write_registers, a[1], a[2], registers.get());
    return none();
}

Ref write_multi_int32(const Args& a) { return write_multi_with(a, "i"); }
Ref write_multi_uint32(const Args& a) { return write_multi_with(a, "I"); }
Ref write_multi_float(const Args& a) { return write_multi_with(a, "f"); }

}  // namespace qel::master
