// The library's version: the installed package's (aerieConfigVersion.cmake,
// aerie.pc) and what `vst2host --version` prints. The build reads the three
// numbers from here, so they are written nowhere else.
#pragma once

#define AERIE_VERSION_MAJOR 1
#define AERIE_VERSION_MINOR 0
#define AERIE_VERSION_PATCH 0

#define AERIE_VERSION_TEXT_(x) #x
#define AERIE_VERSION_TEXT(x) AERIE_VERSION_TEXT_(x)

namespace aerie {

// "1.0.0". [any thread]
inline constexpr const char* kVersion = AERIE_VERSION_TEXT(AERIE_VERSION_MAJOR) "." AERIE_VERSION_TEXT(
    AERIE_VERSION_MINOR) "." AERIE_VERSION_TEXT(AERIE_VERSION_PATCH);

}  // namespace aerie
