#include "module/classes.hpp"

namespace qel {

constexpr ClassTable kModbusTcpMasterClass = {"ModbusTCPMaster", nullptr, 0, false};

}  // namespace qel
