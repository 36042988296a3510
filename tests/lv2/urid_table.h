// The URID map a test host offers an LV2 plug-in: each URI numbered from 1 in
// the order first asked, the same number ever after. One table per process,
// for the lilv test host and the LV2 fuzzer alike; not thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <lv2/urid/urid.h>

namespace kstv_test {

inline LV2_URID mapUri(LV2_URID_Map_Handle, const char* uri) {
    static std::vector<std::string> table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i] == uri) return static_cast<LV2_URID>(i + 1);
    }
    table.emplace_back(uri);
    return static_cast<LV2_URID>(table.size());
}

}  // namespace kstv_test
