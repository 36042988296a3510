// Four-character identifiers as text.
#pragma once

#include <cstdint>
#include <string>

namespace aerie {

// "Kstv" for 0x4B737476; non-printable bytes shown as '.'. [any thread; allocates]
std::string fourCharString(std::int32_t id);

}  // namespace aerie
