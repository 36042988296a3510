// Parameters declared once, in a table: what a host sees of each (name,
// unit, range, display text, properties) follows from its entry. Used by
// kstv::Plugin (host/plugin.h); the pieces stand alone as well.
//
// A host speaks of a parameter as a "normalised" float from 0 to 1. The
// plug-in thinks in plain values (Hz, dB, a choice's index): the entry's
// Range maps one onto the other.
//
// Text limits, counted in characters (the host's buffer holds one more, for
// the NUL): a name, unit or display text shows at most 8 (kParamTextMax); a
// long name in the properties record at most 63, a short name at most 7.
// Longer texts are cut where they are written, never overflow.
#pragma once

#include <cstdint>
#include <cstring>

namespace kstv {

inline constexpr int kParamTextMax = 8;       // name, unit, display text
inline constexpr int kLongNameMax = 63;       // properties record's label
inline constexpr int kShortNameMax = 7;       // properties record's and pins' short label

// ---- values hosts may hand over ---------------------------------------------
// True for a finite float, decided on its bits: a host may run with
// floating-point traps unmasked, and comparing a NaN would raise one.
inline bool isFinite(float value) noexcept {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x7F800000u) != 0x7F800000u;
}
inline bool isFinite(double value) noexcept {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x7FF0000000000000ull) != 0x7FF0000000000000ull;
}
// A host's 0..1 value made safe: NaN and infinities give `fallback`, the
// rest is clamped.
inline float unitOr(float value, float fallback) noexcept {
    if (!isFinite(value)) return fallback;
    return value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value);
}
// True when `value` is finite and within [low, high].
inline bool inRange(double value, double low, double high) noexcept {
    return isFinite(value) && value >= low && value <= high;
}

// ---- ranges ---------------------------------------------------------------------
// How the host's 0..1 maps onto plain values.
enum class Mapping : std::uint8_t {
    Linear,       // min + n (max - min)
    Logarithmic,  // min (max/min)^n; min and max > 0 (frequencies, times)
    Stepped,      // whole numbers from min to max, rounded to the nearest
    Choice,       // an index 0 .. count-1 into `choices`; each gets an equal share of 0..1
};

struct Range {
    Mapping mapping = Mapping::Linear;
    double min = 0.0;
    double max = 1.0;
    const char* const* choices = nullptr;  // Choice: the names, at most 8 characters each
    std::int32_t count = 0;                // Choice: how many

    static constexpr Range linear(double lo, double hi) noexcept { return {Mapping::Linear, lo, hi, nullptr, 0}; }
    static constexpr Range logarithmic(double lo, double hi) noexcept {
        return {Mapping::Logarithmic, lo, hi, nullptr, 0};
    }
    static constexpr Range stepped(std::int32_t lo, std::int32_t hi) noexcept {
        return {Mapping::Stepped, static_cast<double>(lo), static_cast<double>(hi), nullptr, 0};
    }
    template <std::int32_t N>
    static constexpr Range choice(const char* const (&names)[N]) noexcept {
        return {Mapping::Choice, 0.0, static_cast<double>(N - 1), names, N};
    }

    // 0..1 to plain; the value is clamped to 0..1 first.
    double toPlain(double normalised) const noexcept;
    // Plain to 0..1, clamped to the range; a choice's index i gives i/(count-1).
    double toNormalised(double plain) const noexcept;
};

// ---- display texts -----------------------------------------------------------------
// What a parameter shows: its value as text and the unit beside it, each at
// most 8 characters. Formatters that change unit with the value (Hz and
// kHz, ms and s) write the unit; the others leave the parameter's own.
struct Shown {
    char text[kParamTextMax + 1] = {};
    char unit[kParamTextMax + 1] = {};
};

struct Parameter;
// A formatter writes `plain` of parameter `p` into `shown`. [any thread; no
// lock, no allocation]
using Formatter = void (*)(const Parameter& p, double plain, Shown& shown);

namespace fmt {
void number(const Parameter&, double plain, Shown&);     // 3 significant digits ("0.500", "12.5", "440")
void integer(const Parameter&, double plain, Shown&);    // "12"
void decibels(const Parameter&, double plain, Shown&);   // plain is a linear gain: "-6.02" dB, "-inf" at 0
void dbValue(const Parameter&, double plain, Shown&);    // plain is already in dB: "-6.02" dB
void percent(const Parameter&, double plain, Shown&);    // plain is a fraction: 0.5 -> "50.0" %
void onOff(const Parameter&, double plain, Shown&);      // "Off" below 0.5, "On" from it
void choice(const Parameter&, double plain, Shown&);     // the choice's name
void hertz(const Parameter&, double plain, Shown&);      // "440" Hz, "1.50" kHz
void milliseconds(const Parameter&, double plain, Shown&);  // "250" ms, "1.20" s
}  // namespace fmt

// The texts the formatters write, as free functions for code of its own. Each
// writes at most 8 characters and the NUL into `text` (9 bytes or more).
void formatGainDecibels(double gain, char* text) noexcept;  // "-6.02", "0.00", "-inf"; rounded
void formatSignificant(double value, char* text) noexcept;  // 3 significant digits, no exponent

// ---- the table entry -------------------------------------------------------------------
struct Parameter {
    std::uint32_t id;        // stored in saved state: never reuse one for something else
    const char* name;        // up to 63 characters; hosts' name column shows the first 8
    const char* shortName;   // up to 7
    const char* unit;        // up to 8, shown beside the value ("dB")
    Range range;
    double defaultValue;     // plain
    Formatter format = fmt::number;
    bool automatable = true;

    // The display text and unit of `plain`. [any thread; no lock, no allocation]
    Shown show(double plain) const noexcept;
    // Reads a typed-in text ("-6 dB", "1.5k", "On", a choice's name) as a
    // plain value; false (and `plain` untouched) when it is not one.
    bool parse(const char* text, double& plain) const noexcept;
};

// Copies at most `max` characters of `text` and a NUL into `dst`; a null
// `text` writes an empty string, a null `dst` nothing.
void copyText(char* dst, const char* text, int max) noexcept;

}  // namespace kstv
