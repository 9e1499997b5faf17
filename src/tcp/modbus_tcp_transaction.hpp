// A ModbusTCPMaster's transaction for any request: the engine's steps over
// the master's QueryLink, under its lock, asking for the whole reply.
#pragma once

#include "core/frames.hpp"
#include "master/link.hpp"

namespace qel::tcp {

// `frame`'s station goes out as the unit id. A master nothing replaced sends
// it natively; any other sends the same ADU through self._query.
master::Bytes transact_frame(PyObject* self, const codec::Frame& frame, PyObject* station, master::AnswerShape shape);

}  // namespace qel::tcp
