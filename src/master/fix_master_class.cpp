#include "module/classes.hpp"

namespace qel {

constexpr ClassTable kFixMasterClass = {"FixMaster", nullptr, 0, false};

}  // namespace qel
