// Master's typed values: signed 16-bit, and signed, unsigned and float 32-bit
// values over register pairs, in either word order. The formats "i", "I" and
// "f" are converted natively; any other format, and any value the native path
// does not take, goes through the struct module so that results and errors
// are exactly its own.
#include "core/words.hpp"
#include "master/master_bodies.hpp"
#include "module/interned.hpp"
#include "module/plain_int.hpp"
#include "module/state.hpp"

#include <cmath>

namespace qel::master {

namespace {

const Name kPack{"pack"};
const Name kUnpack{"unpack"};
const Name kReadRegister{"read_register"};
const Name kReadRegisters{"read_registers"};
const Name kWriteRegisters{"write_registers"};
const Name kReadInt32{"_Master__read_int32"};
const Name kReadMultiInt32{"_Master__read_multi_int32"};
const Name kWriteInt32{"_Master__write_int32"};
const Name kWriteMultiInt32{"_Master__write_multi_int32"};

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
    Ref packed = call_method(state().struct_module, kPack.get(), hh.get(), low, high);
    Ref values = struct_call(kUnpack.get(), sign, packed.get());
    return checked(PySequence_GetItem(values.get(), 0));
}

// A number beyond single precision must not go out as infinity, whatever
// its type: a float, an int, a Decimal, a Fraction, anything with __float__.
bool float_pattern(PyObject* value, std::uint32_t& pattern) {
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        // An int too large for a double is an overflow too; any other
        // object is left to struct, which raises its own error for it.
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    if (codec::too_large_for_float(d)) raise(PyExc_OverflowError, "float too large to pack with f format");
    pattern = codec::float_to_pattern(static_cast<float>(d));
    return true;
}

bool pattern_of_value(PyObject* value, Format f, std::uint32_t& pattern) {
    if (f == Format::Float32) return float_pattern(value, pattern);
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
    Ref packed = struct_call(kPack.get(), sign, value);
    Ref hh = text("HH");
    Ref halves = struct_call(kUnpack.get(), hh.get(), packed.get());
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

// The public 32-bit operations hand their arguments to a worker, with the
// value kind inserted before the word order.
Ref read_with(const Args& a, const char* sign) {
    auto [self, station, address, endian] = a.take<4>();
    Ref s = text(sign);
    return call_method(self, kReadInt32.get(), station, address, s.get(), endian);
}

Ref read_multi_with(const Args& a, const char* sign) {
    auto [self, station, address, count, endian] = a.take<5>();
    Ref s = text(sign);
    return call_method(self, kReadMultiInt32.get(), station, address, count, s.get(), endian);
}

Ref write_with(const Args& a, const char* sign) {
    auto [self, station, address, value, endian] = a.take<5>();
    Ref s = text(sign);
    call_method(self, kWriteInt32.get(), station, address, value, s.get(), endian);
    return none();
}

Ref write_multi_with(const Args& a, const char* sign) {
    auto [self, station, address, values, endian] = a.take<5>();
    Ref s = text(sign);
    call_method(self, kWriteMultiInt32.get(), station, address, values, s.get(), endian);
    return none();
}

}  // namespace

Ref read_int16(const Args& a) {
    auto [self, station, address] = a.take<3>();
    Ref value = call_method(self, kReadRegister.get(), station, address);
    std::uint16_t r;
    if (register_value(value.get(), r)) return new_int(codec::as_int16(r));
    Ref h = text("H"), signed_h = text("h");
    Ref packed = struct_call(kPack.get(), h.get(), value.get());
    Ref values = struct_call(kUnpack.get(), signed_h.get(), packed.get());
    return checked(PySequence_GetItem(values.get(), 0));
}

Ref read_int32_worker(const Args& a) {
    auto [self, station, address, sign, endian] = a.take<5>();
    Ref two = new_int(2);
    Ref registers = call_method(self, kReadRegisters.get(), station, address, two.get());
    auto [low, high] = unpack_two(registers.get());
    if (high_word_first(endian)) std::swap(low, high);
    return decode_pair(low.get(), high.get(), sign);
}

Ref read_uint32(const Args& a) { return read_with(a, "I"); }
Ref read_int32(const Args& a) { return read_with(a, "i"); }
Ref read_float(const Args& a) { return read_with(a, "f"); }

Ref read_multi_int32_worker(const Args& a) {
    auto [self, station, address, count_arg, sign, endian] = a.take<6>();
    Ref two = new_int(2);
    Ref wanted = checked(PyNumber_Multiply(two.get(), count_arg));
    Ref registers = call_method(self, kReadRegisters.get(), station, address, wanted.get());
    Py_ssize_t count = PyNumber_AsSsize_t(count_arg, PyExc_OverflowError);
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
    auto [self, station, address, value, sign, endian] = a.take<6>();
    auto [low, high] = encode_value(value, sign);
    if (high_word_first(endian)) std::swap(low, high);
    Ref registers = checked(PyList_New(2));
    PyList_SET_ITEM(registers.get(), 0, low.release());
    PyList_SET_ITEM(registers.get(), 1, high.release());
    call_method(self, kWriteRegisters.get(), station, address, registers.get());
    return none();
}

Ref write_int32(const Args& a) { return write_with(a, "i"); }
Ref write_uint32(const Args& a) { return write_with(a, "I"); }
Ref write_float(const Args& a) { return write_with(a, "f"); }

// Every value is converted before the single request goes out.
Ref write_multi_int32_worker(const Args& a) {
    auto [self, station, address, values, sign, endian] = a.take<6>();
    const bool swap = high_word_first(endian);
    Ref registers = checked(PyList_New(0));
    Ref iter = checked(PyObject_GetIter(values));
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref value = Ref::steal(raw);
        auto [low, high] = encode_value(value.get(), sign);
        if (swap) std::swap(low, high);
        checked_status(PyList_Append(registers.get(), low.get()));
        checked_status(PyList_Append(registers.get(), high.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    call_method(self, kWriteRegisters.get(), station, address, registers.get());
    return none();
}

Ref write_multi_int32(const Args& a) { return write_multi_with(a, "i"); }
Ref write_multi_uint32(const Args& a) { return write_multi_with(a, "I"); }
Ref write_multi_float(const Args& a) { return write_multi_with(a, "f"); }

}  // namespace qel::master
