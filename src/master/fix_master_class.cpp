// FixMaster: a Master bound to one remembered station. Every forwarding
// member looks the master operation of its own name up at call time and
// calls it with the station in front of the caller's arguments.
#include "master/docstrings.hpp"
#include "module/classes.hpp"
#include "module/function.hpp"
#include "module/interned.hpp"
#include "module/state.hpp"

namespace qel {

namespace {

const Name kMaster{"_FixMaster__master"};
const Name kStation{"_FixMaster__station"};
const Name kClose{"close"};
const Name kTimeout{"timeout"};

Ref master_of(PyObject* self) { return getattr(self, kMaster.get()); }

Ref init(const Args& a) {
    auto [self, tunnel, station, timeout] = a.take<4>();
    Ref master = call(state().master, tunnel, timeout);
    setattr(self, kMaster.get(), master.get());
    setattr(self, kStation.get(), station);
    return none();
}

Ref get_station(const Args& a) { return getattr(a[0], kStation.get()); }

Ref set_station(const Args& a) {
    auto [self, value] = a.take<2>();
    setattr(self, kStation.get(), value);
    return none();
}

Ref close(const Args& a) {
    call_method(master_of(a[0]).get(), kClose.get());
    return none();
}

Ref enter(const Args& a) { return Ref::borrow(a[0]); }

Ref leave(const Args& a) {
    call_method(a[0], kClose.get());
    return none();
}

Ref get_timeout(const Args& a) { return getattr(master_of(a[0]).get(), kTimeout.get()); }

Ref set_timeout(const Args& a) {
    auto [self, value] = a.take<2>();
    setattr(master_of(self).get(), kTimeout.get(), value);
    return none();
}

// master.<name>(station, *caller_args)
Ref forward_call(const Args& a) {
    const FunctionObject& fn = a.function();
    Ref master = master_of(a[0]);
    Ref operation = getattr(master.get(), fn.name);
    Ref station = getattr(a[0], kStation.get());
    PyObject* stack[kMaxParams + 1];
    stack[1] = station.get();
    const std::size_t given = fn.row->nparams - 1;
    for (std::size_t i = 0; i < given; ++i) stack[2 + i] = a[1 + i];
    return checked(stopping_forced_unwind([&] {
        return PyObject_Vectorcall(operation.get(), stack + 1, (given + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

Ref forward(const Args& a) { return forward_call(a); }

Ref forward_discarding(const Args& a) {
    forward_call(a);
    return none();
}

constexpr Param kAddress = arg("address", Ann::Int);
constexpr Param kIntValue = arg("value", Ann::Int);
constexpr Param kValues = arg("values", Ann::Sequence);
constexpr Param kCount = arg("count", Ann::Int);
constexpr Param kFuncCode = arg("func_code", Ann::Int).defaults(dflt::static_attr("FC_Read_Registers"));

constexpr MemberRow kRows[] = {
    method("__init__", init, arg("tunnel"), arg("station", Ann::Int).defaults(dflt::integer(1)),
           arg("timeout", Ann::Float).defaults(dflt::static_attr("Default_Timeout"))),
    getter("station", get_station).returns(Ann::Int),
    setter("station", set_station, arg("value", Ann::Int)),
    method("close", close),
    method("__enter__", enter),
    method("__exit__", leave, arg("exc_type"), arg("exc_val"), arg("exc_tb")),
    getter("timeout", get_timeout).returns(Ann::Float),
    setter("timeout", set_timeout, arg("value", Ann::Float).as_float()),
    method("send_write_coil_request", forward_discarding, kAddress, kIntValue),
    method("send_write_registers_request", forward_discarding, kAddress, kValues),
    method("send_write_register_request", forward_discarding, kAddress, kIntValue),
    method("send_read_coils_request", forward_discarding, kAddress, kCount),
    method("send_read_registers_request", forward_discarding, kAddress, kCount, kFuncCode),
    method("write_register", forward_discarding, kAddress, kIntValue),
    method("write_registers", forward_discarding, kAddress, kValues),
    method("write_coil", forward_discarding, kAddress, arg("value", Ann::Bool)),
    method("read_register", forward, kAddress),
    method("read_registers", forward, kAddress, kCount, kFuncCode).documented(docs::kFixReadRegisters),
    method("read_coil", forward, kAddress),
    method("read_coils", forward, kAddress, kCount),
    method("read_int32", forward, kAddress),
    method("read_uint32", forward, kAddress),
    method("read_float", forward, arg("address")),
    method("write_int32", forward_discarding, arg("address"), arg("value")),
    method("write_uint32", forward_discarding, arg("address"), arg("value")),
    method("read_int16", forward, arg("address")),
    method("read_uint16", forward, arg("address")),
    method("write_int16", forward, arg("address"), arg("value")),
    method("write_uint16", forward, arg("address"), arg("value")),
};

}  // namespace

constexpr ClassTable kFixMasterClass = class_table("FixMaster", kRows);

}  // namespace qel
