// The version and build of both programs. Their text comes from the build (the top-level
// CMakeLists.txt), so that it is written in one place.
#pragma once

namespace vrk {

extern const char kVersion[];
extern const char kBuild[];

}  // namespace vrk
