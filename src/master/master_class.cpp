#include "module/classes.hpp"

namespace qel {

constexpr ClassTable kMasterClass = {"Master", nullptr, 0, false};

}  // namespace qel
