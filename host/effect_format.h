// Display texts: numbers turned into the 8-character fields hosts show next
// to a parameter. Effect's five format operations (host/effect.h) are built
// on these; they are free functions too, for code without an effect object.
#pragma once

#include <cstdint>

// Width of a display field, without the terminating NUL.
inline constexpr int kDisplayWidth = 8;

// Shown when a number does not fit the field.
inline constexpr char kTextHuge[] = " Huge!  ";
// Shown for a level of zero or below (minus infinity decibels).
inline constexpr char kTextMinusInfinity[] = "  -oo   ";
// Shown for a value that is not a number.
inline constexpr char kTextNotANumber[] = "  NaN   ";

// Exactly 8 characters: sign, integer digits, a point and as many fraction
// digits as fit, the fraction cut rather than rounded (0.7f shows
// "0.699999"). Values whose integer digits do not fit beside the point
// (from 10,000,000 up, or from -1,000,000 down) show " Huge!  ", and NaN
// shows "  NaN   ". `text` holds at least 9 bytes; null writes nothing.
void formatFloatText(float value, char* text) noexcept;

// "%7d" (right-aligned in 7 characters). Values that need more than 8
// characters (100,000,000 and above, below -9,999,999) show " Huge!  ".
void formatIntegerText(std::int32_t value, char* text) noexcept;
