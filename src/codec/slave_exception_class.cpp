// SlaveException: a slave's exception answer, as station, function code of
// the request and the slave's exception code.
#include "module/classes.hpp"
#include "module/interned.hpp"

namespace qel {

namespace {

const Name kStation{"station"};
const Name kFunctionCode{"function_code"};
const Name kErrorCode{"error_code"};

// The constructor leaves the base initialiser alone: the args tuple stays
// exactly what the call passed.
Ref init(const Args& a) {
    auto [self, station, function_code, error_code] = a.take<4>();
    setattr(self, kStation.get(), station);
    Ref mask = new_int(0x7F);
    setattr(self, kFunctionCode.get(), checked(PyNumber_And(function_code, mask.get())).get());
    setattr(self, kErrorCode.get(), error_code);
    return none();
}

// An attribute as an integer: ints as they are, floats truncated; text and
// None are refused.
Ref as_integer(PyObject* self, PyObject* name) {
    Ref v = getattr(self, name);
    if (PyLong_CheckExact(v.get())) return v;
    PyNumberMethods* nb = Py_TYPE(v.get())->tp_as_number;
    if (nb == nullptr || (nb->nb_int == nullptr && nb->nb_index == nullptr)) raise(PyExc_TypeError, "an integer is required");
    return checked(PyNumber_Long(v.get()));
}

Ref str(const Args& a) {
    PyObject* self = a[0];
    Ref station = as_integer(self, kStation.get());
    Ref function_code = as_integer(self, kFunctionCode.get());
    Ref error_code = as_integer(self, kErrorCode.get());
    return checked(PyUnicode_FromFormat("modbus slave reports an exception. station: %S, function code: %S, error code: %S",
                                        station.get(), function_code.get(), error_code.get()));
}

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("station"), arg("function_code"), arg("error_code")),
    method("__str__", str),
    alias("__repr__", "__str__"),
};

}  // namespace

constexpr ClassTable kSlaveExceptionClass = class_table("SlaveException", kRows, true);

}  // namespace qel
