#include <aerie/four_char.h>

namespace aerie {

std::string fourCharString(std::int32_t id) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>((static_cast<std::uint32_t>(id) >> shift) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    return s;
}

}  // namespace aerie
