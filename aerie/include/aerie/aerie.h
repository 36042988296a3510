// Hosting library: loads a plug-in module the way a host does and drives its
// instances through the effect record. Used by the command-line host and by
// the black-box tests, so it touches plug-ins only through the interface.
//
// One header per concept; this one includes them all but the file formats
// (<aerie/io/...>) and rendering (<aerie/render.h>):
//   host_error.h   HostError and its ErrorKind, the failure a user can act on
//   module_file.h  ModuleFormat, inspectModuleFile, hostBits, hostMachine
//   module.h       Module, a loaded module and its entry
//   host.h         HostRequest, Host and its callback
//   instance.h     Instance, one plug-in instance, and its lifecycle
//   event_list.h   EventList, a block's MIDI events
//   four_char.h    fourCharString
//   sandbox.h      runSandboxed, an operation in a child process
//   worker.h       Worker, a child process that serves requests
//   discovery.h    pluginFolders, findModules, resolveModule
//   probe.h        probeModule, what a scan learns about a module
//   process.h      runProcess, selfExecutable: child programs
//   version.h      kVersion, the library's version
//
// Threads. The library starts no thread of its own; each call runs on its
// caller's. Every public call says in brackets where it is declared (for a
// group, at its heading) from which thread it may be called, in which
// state, and whether it may allocate:
//   [any thread]             may be called from several threads at once
//   [one thread at a time]   an object's calls come from one thread at a
//                            time, any thread but not two at once; distinct
//                            objects may be used on distinct threads
//   [audio thread; running]  a render call: the instance is Running; it
//                            takes no lock and allocates nothing, so a
//                            real-time thread may make it
//   [state: open, ready]     the Instance states the call needs; in any other
//                            it throws HostError of kind WrongState
//   [allocates]              may allocate (and throw std::bad_alloc): not
//                            for a real-time thread
//   [blocks]                 waits for something outside: a child process,
//                            the system's loader, a file
#pragma once

#include "host/abi/aeffect.h"
#include "host/abi/events.h"
#include "host/abi/opcodes.h"
#include "host/abi/parameter_properties.h"
#include "host/abi/pins.h"
#include "host/abi/time_info.h"
#include <aerie/discovery.h>
#include <aerie/event_list.h>
#include <aerie/four_char.h>
#include <aerie/host.h>
#include <aerie/host_error.h>
#include <aerie/instance.h>
#include <aerie/module.h>
#include <aerie/module_file.h>
#include <aerie/probe.h>
#include <aerie/process.h>
#include <aerie/sandbox.h>
#include <aerie/version.h>
#include <aerie/worker.h>
