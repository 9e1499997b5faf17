// The names Master keeps its state and its engine members under, shared by
// the engine's files. Operations name what else they reach in their own file.
#pragma once

#include "module/interned.hpp"

namespace qel::master::attr {

inline const Name tunnel{"_Master__tunnel"};
inline const Name last_sent{"MessageLastSent"};
inline const Name last_received{"MessageLastReceived"};
inline const Name write_message{"_Master__write_message"};
inline const Name read{"_Master__read"};
inline const Name feedback_assistant{"_Master__feedback_assistant"};
inline const Name check_crc{"_Master__check_crc"};

}  // namespace qel::master::attr
