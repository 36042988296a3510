// The module's entry: what a host calls, once per instance it wants.
//
// Exported as `main` (ordinal 1 on Windows, the name 32-bit Windows hosts
// look for) and, on Linux and 64-bit Windows, also as `VSTPluginMain`, the
// name those hosts try first. Nothing else leaves the module.
#pragma once

#include "host/abi/aeffect.h"

// Asks the host's interface version (a null record, audioMasterVersion) and
// answers null when the host says 0, when there is no callback to ask, or
// when the instance cannot be created; otherwise the new instance's record.
extern "C" AEffect* VST_CALL VSTPluginMain(audioMasterCallback audioMaster) noexcept;
