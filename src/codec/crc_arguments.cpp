#include "codec/crc_arguments.hpp"

#include "core/crc16.hpp"
#include "module/plain_int.hpp"
#include "module/state.hpp"

#include <algorithm>
#include <climits>
#include <string_view>

namespace qel {

namespace {

// A contiguous run of unsigned bytes that slicing would give element for
// element: exact bytes, bytearray, array('B') and 'B' memoryviews.
class ByteView {
public:
    explicit ByteView(PyObject* obj) {
        PyTypeObject* t = Py_TYPE(obj);
        bool candidate = t == &PyBytes_Type || t == &PyByteArray_Type || t == &PyMemoryView_Type ||
                         reinterpret_cast<PyObject*>(t) == state().array_type;
        if (!candidate || PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        bool bytes = view_.itemsize == 1 && view_.ndim == 1 && (view_.format == nullptr || std::string_view(view_.format) == "B");
        if (!bytes) release();
    }
    ~ByteView() { release(); }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    bool ok() const { return held_; }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_buffer view_{};
    bool held_ = false;
};

// A slice bound given as None or a plain int, as the interpreter reads it:
// huge values clamp. False for anything else.
bool plain_bound(PyObject* v, Py_ssize_t if_none, Py_ssize_t& out) {
    if (v == Py_None) {
        out = if_none;
        return true;
    }
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) x = overflow > 0 ? PY_SSIZE_T_MAX : PY_SSIZE_T_MIN;
    out = static_cast<Py_ssize_t>(std::clamp<long long>(x, PY_SSIZE_T_MIN, PY_SSIZE_T_MAX));
    return true;
}

// Python's slice rules on a sequence of `length`: [start, stop).
std::pair<Py_ssize_t, Py_ssize_t> slice_bounds(PyObject* beg, PyObject* end, Py_ssize_t length) {
    Py_ssize_t start, stop;
    if (!plain_bound(beg, 0, start) || !plain_bound(end, PY_SSIZE_T_MAX, stop)) {
        Ref slice = checked(PySlice_New(beg, end, nullptr));
        Py_ssize_t step;
        checked_status(PySlice_Unpack(slice.get(), &start, &stop, &step));
    }
    PySlice_AdjustIndices(length, &start, &stop, 1);
    return {start, stop < start ? start : stop};
}

Ref int_pair(long long first, long long second) {
    Ref a = new_int(first), b = new_int(second);
    return checked(PyTuple_Pack(2, a.get(), b.get()));
}

Ref pair_from_wide(std::int64_t crc) {
    std::int64_t high = crc < 0 ? ~(~crc >> 8) : crc >> 8;
    return int_pair(crc & 0xFF, high);
}

// The running value once it no longer fits 64 bits, or meets an element that
// is not a plain int: Python arithmetic from here on, so results and errors
// are those of `^`, `&` and `>>` on the objects themselves.
class ObjectCrc {
public:
    explicit ObjectCrc(std::int64_t crc) : crc_(new_int(crc)), one_(new_int(1)), poly_(new_int(codec::kCrcPoly)) {}
    void mix(PyObject* element) {
        crc_ = checked(PyNumber_Xor(crc_.get(), element));
        for (int bit = 0; bit < 8; ++bit) {
            Ref carry = checked(PyNumber_And(crc_.get(), one_.get()));
            crc_ = checked(PyNumber_Rshift(crc_.get(), one_.get()));
            if (checked_status(PyObject_IsTrue(carry.get()))) crc_ = checked(PyNumber_Xor(crc_.get(), poly_.get()));
        }
    }
    Ref pair() const {
        Ref mask = new_int(0xFF), eight = new_int(8);
        Ref low = checked(PyNumber_And(crc_.get(), mask.get()));
        Ref high = checked(PyNumber_Rshift(crc_.get(), eight.get()));
        return checked(PyTuple_Pack(2, low.get(), high.get()));
    }

private:
    Ref crc_, one_, poly_;
};

Ref crc_of_elements(PyObject* elements) {
    Ref iter = checked(PyObject_GetIter(elements));
    std::int64_t crc = codec::kCrcInit;
    while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref element = Ref::steal(raw);
        std::int64_t v;
        // Keep headroom so that xor never reaches the sign bit.
        if (plain_int_within(element.get(), 62, v)) {
            crc = codec::crc16_wide_step(crc, v);
            continue;
        }
        ObjectCrc wide(crc);
        wide.mix(element.get());
        while (PyObject* more = PyIter_Next(iter.get())) wide.mix(Ref::steal(more).get());
        if (PyErr_Occurred()) throw PythonError{};
        return wide.pair();
    }
    if (PyErr_Occurred()) throw PythonError{};
    return pair_from_wide(crc);
}

Ref crc_of_text(PyObject* text, PyObject* beg, PyObject* end) {
    auto [start, stop] = slice_bounds(beg, end, PyUnicode_GET_LENGTH(text));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::int64_t crc = codec::kCrcInit;
    for (Py_ssize_t i = start; i < stop; ++i) crc = codec::crc16_wide_step(crc, PyUnicode_READ(kind, data, i));
    return pair_from_wide(crc);
}

Ref crc_of_sliceable(PyObject* string, PyObject* beg, PyObject* end) {
    PyMappingMethods* mapping = Py_TYPE(string)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(string)->tp_name);
        throw PythonError{};
    }
    Ref slice = checked(PySlice_New(beg, end, nullptr));
    Ref part = checked(PyObject_GetItem(string, slice.get()));
    return crc_of_elements(part.get());
}

}  // namespace

Ref crc_pair(PyObject* string, PyObject* beg, PyObject* end) {
    if (PyUnicode_Check(string)) return crc_of_text(string, beg, end);
    ByteView bytes(string);
    if (bytes.ok()) {
        auto [start, stop] = slice_bounds(beg, end, bytes.size());
        std::uint16_t crc = codec::crc16(bytes.data() + start, static_cast<std::size_t>(stop - start));
        return int_pair(codec::crc_low(crc), codec::crc_high(crc));
    }
    return crc_of_sliceable(string, beg, end);
}

Ref crc_check(PyObject* string) {
    {
        ByteView bytes(string);
        if (bytes.ok()) return boolean(codec::crc_is_right(bytes.data(), static_cast<std::size_t>(bytes.size())));
    }
    Py_ssize_t length = PyObject_Size(string);
    if (length < 0) throw PythonError{};
    const Py_ssize_t end = length - 2;
    if (end < 0) return boolean(false);
    Ref zero = new_int(0), stop = new_int(end);
    Ref pair = crc_pair(string, zero.get(), stop.get());
    // `low == string[end] and high == string[end + 1]`
    for (Py_ssize_t k = 0; k < 2; ++k) {
        Ref index = new_int(end + k);
        Ref item = checked(PyObject_GetItem(string, index.get()));
        Ref same = checked(PyObject_RichCompare(PyTuple_GET_ITEM(pair.get(), k), item.get(), Py_EQ));
        if (k == 1 || !checked_status(PyObject_IsTrue(same.get()))) return same;
    }
    return Ref{};
}

}  // namespace qel
