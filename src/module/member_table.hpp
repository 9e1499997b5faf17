// The member table: every class of the module is described as data, one row
// per class-body statement, and built by build_class() walking the rows in
// order. A row carries the member's name, kind, parameters with their defaults
// and annotations, return annotation, docstring and the C++ body.
#pragma once

#include "module/ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace qel {

struct FunctionObject;

// The bound arguments of one call, `self` included, in parameter order.
class Args {
public:
    Args(PyObject* const* values, const FunctionObject* fn) : values_(values), fn_(fn) {}
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    // The first N arguments, for a body to name them:
    // `auto [self, station, address] = a.take<3>();`
    template <std::size_t N>
    std::array<PyObject*, N> take() const {
        std::array<PyObject*, N> named{};
        for (std::size_t i = 0; i < N; ++i) named[i] = values_[i];
        return named;
    }
    const FunctionObject& function() const { return *fn_; }

private:
    PyObject* const* values_;
    const FunctionObject* fn_;
};

// A body returns a new reference; it signals failure by throwing PythonError
// with the Python error set.
using Body = Ref (*)(const Args&);

// Recorded annotation of a parameter or of the result.
enum class Ann : std::uint8_t {
    None,
    Int,           // recorded as the text "int"
    Float,         // "float"
    Str,           // "unicode"; the argument must be exactly str or None
    Bool,          // the bool type itself
    Iterable,      // typing.Iterable, unsubscripted
    Sequence,      // typing.Sequence, unsubscripted
    BytesLike,     // Union[bytes, bytearray, array.array]
    Channel,       // Union[Serial, TCPTunnel]
};

struct Default {
    enum class Tag : std::uint8_t { Absent, NoneValue, Int, Float, Text, False, StaticAttr };
    Tag tag = Tag::Absent;
    long long int_value = 0;
    double float_value = 0;
    const char* text = nullptr;  // Text: the literal; StaticAttr: the ModbusStatic attribute
};

struct Param {
    const char* name = nullptr;
    Ann ann = Ann::None;
    Default def{};
    bool to_float = false;  // converted to a float before the body runs

    constexpr Param annotated(Ann a) const {
        Param p = *this;
        p.ann = a;
        // A float parameter with a literal default is converted on entry.
        if (a == Ann::Float && def.tag == Default::Tag::Float) p.to_float = true;
        return p;
    }
    constexpr Param defaults(Default d) const {
        Param p = *this;
        p.def = d;
        if (ann == Ann::Float && d.tag == Default::Tag::Float) p.to_float = true;
        return p;
    }
    constexpr Param as_float() const {
        Param p = *this;
        p.to_float = true;
        return p;
    }
};

constexpr Param arg(const char* name, Ann ann = Ann::None) { return Param{name}.annotated(ann); }

namespace dflt {
constexpr Default none() { return {Default::Tag::NoneValue}; }
constexpr Default integer(long long v) { return {Default::Tag::Int, v}; }
constexpr Default real(double v) { return {Default::Tag::Float, 0, v}; }
constexpr Default text(const char* s) { return {Default::Tag::Text, 0, 0, s}; }
constexpr Default false_() { return {Default::Tag::False}; }
// Read from ModbusStatic once, while the class body runs.
constexpr Default static_attr(const char* attr) { return {Default::Tag::StaticAttr, 0, 0, attr}; }
}  // namespace dflt

enum class Kind : std::uint8_t { Function, Method, Static, Getter, Setter, Alias, Attribute };

constexpr std::size_t kMaxParams = 7;

struct MemberRow {
    const char* name = nullptr;  // as written in the class body (unmangled)
    Kind kind = Kind::Method;
    Body body = nullptr;
    Param params[kMaxParams] = {};
    std::uint8_t nparams = 0;
    Ann ret = Ann::None;
    const char* doc = nullptr;
    const char* target = nullptr;  // Alias: the member it names again
    long long value = 0;           // Attribute: the integer bound

    constexpr MemberRow returns(Ann a) const {
        MemberRow r = *this;
        r.ret = a;
        return r;
    }
    constexpr MemberRow documented(const char* text) const {
        MemberRow r = *this;
        r.doc = text;
        return r;
    }
};

template <class... P>
constexpr MemberRow function_row(const char* name, Kind kind, Body body, P... params) {
    static_assert(sizeof...(P) <= kMaxParams, "too many parameters");
    MemberRow r{};
    r.name = name;
    r.kind = kind;
    r.body = body;
    const Param list[] = {Param{}, params...};
    for (std::size_t i = 0; i < sizeof...(P); ++i) r.params[i] = list[i + 1];
    r.nparams = static_cast<std::uint8_t>(sizeof...(P));
    return r;
}

template <class... P>
constexpr MemberRow method(const char* name, Body body, P... params) {
    return function_row(name, Kind::Method, body, arg("self"), params...);
}
template <class... P>
constexpr MemberRow static_method(const char* name, Body body, P... params) {
    return function_row(name, Kind::Static, body, params...);
}
template <class... P>
constexpr MemberRow module_function(const char* name, Body body, P... params) {
    return function_row(name, Kind::Function, body, params...);
}
constexpr MemberRow getter(const char* name, Body body) {
    return function_row(name, Kind::Getter, body, arg("self"));
}
constexpr MemberRow setter(const char* name, Body body, Param value) {
    return function_row(name, Kind::Setter, body, arg("self"), value);
}
constexpr MemberRow alias(const char* name, const char* target) {
    MemberRow r{};
    r.name = name;
    r.kind = Kind::Alias;
    r.target = target;
    return r;
}
constexpr MemberRow attribute(const char* name, long long value) {
    MemberRow r{};
    r.name = name;
    r.kind = Kind::Attribute;
    r.value = value;
    return r;
}

struct ClassTable {
    const char* name;
    const MemberRow* rows;
    std::size_t nrows;
    bool exception_base;  // derives from Exception instead of object
};

template <std::size_t N>
constexpr ClassTable class_table(const char* name, const MemberRow (&rows)[N], bool exception_base = false) {
    return {name, rows, N, exception_base};
}

}  // namespace qel
