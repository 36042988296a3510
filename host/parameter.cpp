#include "host/parameter.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace kstv {

namespace {

double clampUnit(double n) noexcept {
    if (!isFinite(n) || n < 0.0) return 0.0;
    return n > 1.0 ? 1.0 : n;
}

bool sameWord(const char* a, const char* b) noexcept {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == '\0' && *b == '\0';
}

// `text` without leading and trailing blanks, into `out` (at most 31 characters).
void trimmed(const char* text, char (&out)[32]) noexcept {
    while (*text == ' ' || *text == '\t') ++text;
    std::size_t n = 0;
    while (text[n] != '\0' && n < sizeof out - 1) {
        out[n] = text[n];
        ++n;
    }
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '\t')) --n;
    out[n] = '\0';
}

void setUnit(Shown& shown, const char* unit) noexcept { copyText(shown.unit, unit, kParamTextMax); }

}  // namespace

void copyText(char* dst, const char* text, int max) noexcept {
    if (dst == nullptr) return;
    int n = 0;
    if (text != nullptr) {
        for (; n < max && text[n] != '\0'; ++n) dst[n] = text[n];
    }
    dst[n] = '\0';
}

double Range::toPlain(double normalised) const noexcept {
    const double n = clampUnit(normalised);
    switch (mapping) {
    case Mapping::Linear: return min + n * (max - min);
    case Mapping::Logarithmic:
        if (n <= 0.0) return min;
        if (n >= 1.0) return max;
        return min * std::pow(max / min, n);
    case Mapping::Stepped: return std::round(min + n * (max - min));
    case Mapping::Choice: {
        const auto index = static_cast<std::int32_t>(n * count);
        return static_cast<double>(index < count - 1 ? index : (count > 0 ? count - 1 : 0));
    }
    }
    return min;
}

double Range::toNormalised(double plain) const noexcept {
    if (!isFinite(plain)) return 0.0;
    const double p = plain < min ? min : (plain > max ? max : plain);
    if (!(max > min)) return 0.0;
    switch (mapping) {
    case Mapping::Linear: return clampUnit((p - min) / (max - min));
    case Mapping::Logarithmic: return clampUnit(std::log(p / min) / std::log(max / min));
    case Mapping::Stepped:
    case Mapping::Choice: return clampUnit((std::round(p) - min) / (max - min));
    }
    return 0.0;
}

void formatSignificant(double value, char* text) noexcept {
    if (text == nullptr) return;
    if (!isFinite(value)) {
        copyText(text, value > 0.0 ? "inf" : (value < 0.0 ? "-inf" : "nan"), kParamTextMax);
        return;
    }
    // Decimals for 3 significant digits, decided again after rounding: 0.9996
    // shows "1.00", not "1.000".
    const auto decimalsFor = [](double a) { return a < 1.0 ? 3 : (a < 10.0 ? 2 : (a < 100.0 ? 1 : 0)); };
    const double a = std::fabs(value);
    int decimals = decimalsFor(a);
    const double scale = std::pow(10.0, decimals);
    const double rounded = std::round(a * scale) / scale;
    if (rounded == 0.0) value = 0.0;  // no "-0.000"
    if (decimalsFor(rounded) < decimals) decimals = decimalsFor(rounded);
    char wide[48];
    (void)std::snprintf(wide, sizeof wide, "%.*f", decimals, value);
    if (std::strlen(wide) > static_cast<std::size_t>(kParamTextMax)) {
        copyText(text, value > 0.0 ? "Huge" : "-Huge", kParamTextMax);
        return;
    }
    copyText(text, wide, kParamTextMax);
}

void formatGainDecibels(double gain, char* text) noexcept {
    if (text == nullptr) return;
    if (!isFinite(gain) || !(gain > 0.0)) {
        copyText(text, "-inf", kParamTextMax);
        return;
    }
    double db = 20.0 * std::log10(gain);
    if (std::round(std::fabs(db) * 100.0) == 0.0) db = 0.0;
    char wide[48];
    (void)std::snprintf(wide, sizeof wide, std::fabs(db) < 1000.0 ? "%.2f" : "%.0f", db);
    copyText(text, wide, kParamTextMax);
}

namespace fmt {

void number(const Parameter&, double plain, Shown& shown) { formatSignificant(plain, shown.text); }
void integer(const Parameter&, double plain, Shown& shown) {
    char wide[32];
    (void)std::snprintf(wide, sizeof wide, "%lld", static_cast<long long>(std::llround(plain)));
    copyText(shown.text, wide, kParamTextMax);
}
void decibels(const Parameter&, double plain, Shown& shown) {
    formatGainDecibels(plain, shown.text);
    setUnit(shown, "dB");
}
void dbValue(const Parameter&, double plain, Shown& shown) {
    formatSignificant(plain, shown.text);
    setUnit(shown, "dB");
}
void percent(const Parameter&, double plain, Shown& shown) {
    formatSignificant(plain * 100.0, shown.text);
    setUnit(shown, "%");
}
void onOff(const Parameter&, double plain, Shown& shown) {
    copyText(shown.text, plain >= 0.5 ? "On" : "Off", kParamTextMax);
    setUnit(shown, "");
}
void choice(const Parameter& p, double plain, Shown& shown) {
    const auto index = static_cast<std::int32_t>(std::llround(plain));
    const bool known = p.range.choices != nullptr && index >= 0 && index < p.range.count;
    copyText(shown.text, known ? p.range.choices[index] : "", kParamTextMax);
    setUnit(shown, "");
}
void hertz(const Parameter&, double plain, Shown& shown) {
    const bool kilo = std::fabs(plain) >= 999.5;
    formatSignificant(kilo ? plain / 1000.0 : plain, shown.text);
    setUnit(shown, kilo ? "kHz" : "Hz");
}
void milliseconds(const Parameter&, double plain, Shown& shown) {
    const bool whole = std::fabs(plain) >= 999.5;
    formatSignificant(whole ? plain / 1000.0 : plain, shown.text);
    setUnit(shown, whole ? "s" : "ms");
}

}  // namespace fmt

Shown Parameter::show(double plain) const noexcept {
    Shown shown;
    copyText(shown.unit, unit, kParamTextMax);
    (format != nullptr ? format : fmt::number)(*this, plain, shown);
    return shown;
}

bool Parameter::parse(const char* text, double& plain) const noexcept {
    if (text == nullptr) return false;
    char t[32];
    trimmed(text, t);
    if (t[0] == '\0') return false;
    if (range.mapping == Mapping::Choice && range.choices != nullptr) {
        for (std::int32_t i = 0; i < range.count; ++i) {
            if (sameWord(t, range.choices[i])) {
                plain = i;
                return true;
            }
        }
    }
    if (format == fmt::onOff) {
        for (const char* on : {"on", "yes", "true"}) {
            if (sameWord(t, on)) return plain = 1.0, true;
        }
        for (const char* off : {"off", "no", "false"}) {
            if (sameWord(t, off)) return plain = 0.0, true;
        }
    }
    if (format == fmt::decibels && (sameWord(t, "-inf") || sameWord(t, "-inf dB") || sameWord(t, "-oo"))) {
        plain = 0.0;
        return true;
    }
    char* end = nullptr;
    double v = std::strtod(t, &end);
    if (end == t || !isFinite(v)) return false;
    while (*end == ' ') ++end;
    // The unit typed after the number, if any: only those this parameter can mean.
    double scale = 1.0;
    if (*end != '\0') {
        const bool frequency = format == fmt::hertz, time = format == fmt::milliseconds;
        const bool thousand = (frequency && (sameWord(end, "k") || sameWord(end, "khz"))) || (time && sameWord(end, "s"));
        const bool own = (frequency && sameWord(end, "hz")) || (time && sameWord(end, "ms")) ||
                         ((format == fmt::decibels || format == fmt::dbValue) && sameWord(end, "db")) ||
                         (format == fmt::percent && sameWord(end, "%")) || (unit != nullptr && sameWord(end, unit));
        if (!thousand && !own) return false;
        scale = thousand ? 1000.0 : 1.0;
    }
    v *= scale;
    if (format == fmt::percent) v /= 100.0;
    if (format == fmt::decibels) v = std::pow(10.0, v / 20.0);
    if (!isFinite(v)) return false;
    plain = v;
    return true;
}

}  // namespace kstv
