// Hosting library: loads a plug-in module the way a host does and drives its
// instances through the effect record. Used by the command-line host and by
// the black-box tests, so it touches plug-ins only through the interface.
//
// One header per concept; this one includes them all:
//   host_error.h   HostError, the failure a user can act on
//   module_file.h  ModuleFormat, inspectModuleFile, hostBits, hostMachine
//   module.h       Module, a loaded module and its entry
//   host.h         HostRequest, Host and its callback
//   instance.h     Instance, one plug-in instance
//   event_list.h   EventList, a block's MIDI events
//   four_char.h    fourCharString
#pragma once

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/parameter_properties.h"
#include "host/abi/pins.h"
#include "host/abi/time_info.h"
#include <aerie/event_list.h>
#include <aerie/four_char.h>
#include <aerie/host.h>
#include <aerie/host_error.h>
#include <aerie/instance.h>
#include <aerie/module.h>
#include <aerie/module_file.h>
