#include "common/version.h"

namespace vrk {

const char kVersion[] = VRK_VERSION;
const char kBuild[] = VRK_BUILD;

}  // namespace vrk
