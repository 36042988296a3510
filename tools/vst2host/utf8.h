// Plug-in texts as UTF-8, for JSON and XML reports.
#pragma once

#include <string>

namespace tool {

// Plug-in texts are 8-bit strings of unknown encoding; JSON wants UTF-8, so
// bytes outside ASCII are read as Latin-1.
inline std::string toUtf8(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace tool
