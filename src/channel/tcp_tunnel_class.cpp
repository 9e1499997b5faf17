#include "module/classes.hpp"

namespace qel {

constexpr ClassTable kTcpTunnelClass = {"TCPTunnel", nullptr, 0, false};

}  // namespace qel
