// The module hosts load: its one entry makes Kestravian instances.
#include "host/entry.h"
#include "synth/kestravian.h"

KSTV_PLUGIN_ENTRY(Kestravian);
