// The version of vexel. CMakeLists.txt refuses to configure when it differs
// from the version of the CMake project, so the two never drift apart.

#pragma once

#define VEXEL_VERSION_MAJOR 0
#define VEXEL_VERSION_MINOR 1
#define VEXEL_VERSION_PATCH 0
#define VEXEL_VERSION "0.1.0"
