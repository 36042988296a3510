#include "host/effect_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/effect.h"

namespace {

// Largest magnitudes whose integer digits fit beside the point: 7 digits,
// or 6 behind a minus sign.
constexpr double kLargestPositive = 9999999.0;
constexpr double kLargestNegative = 999999.0;

int digitOf(double x) noexcept { return static_cast<int>(std::fmod(x, 10.0)); }

}  // namespace

void formatFloatText(float value, char* text) noexcept {
    if (text == nullptr) return;
    if (std::isnan(value)) {
        copyHostText(text, kTextNotANumber);
        return;
    }
    double a = value;
    const bool negative = a < 0.0;
    int count = 0;
    if (negative) {
        a = -a;
        count = 1;
    }
    // Anything the integer loop would cut to fewer digits than it has would
    // show a different number; such values are too big for the field.
    if (std::floor(a) > (negative ? kLargestNegative : kLargestPositive)) {
        copyHostText(text, kTextHuge);
        return;
    }

    // Integer digits, right to left, in front of the point.
    char integer[kDisplayWidth + 1];
    int start = kDisplayWidth;
    integer[start] = '\0';
    integer[--start] = '.';
    integer[--start] = static_cast<char>('0' + digitOf(std::floor(a)));
    count += 2;
    for (double q = std::floor(a) * 0.1; q >= 1.0 && count < kDisplayWidth; q *= 0.1, ++count) {
        integer[--start] = static_cast<char>('0' + digitOf(q));
    }
    if (negative) integer[--start] = '-';

    // Fraction digits, cut: produced from the last one to the first.
    char fraction[kDisplayWidth + 1] = {};
    const int n = kDisplayWidth - count;
    if (n > 0) {
        double f = std::fmod(a, 1.0) * std::pow(10.0, n);
        for (int i = n - 1; i >= 0; --i) {
            if (f > 0.0) {
                fraction[i] = static_cast<char>('0' + digitOf(f));
                f *= 0.1;
            } else {
                fraction[i] = '0';
            }
        }
    }
    const auto integerLength = static_cast<std::size_t>(kDisplayWidth - start);
    std::memcpy(text, integer + start, integerLength);
    std::memcpy(text + integerLength, fraction, static_cast<std::size_t>(n > 0 ? n : 0));
    text[integerLength + static_cast<std::size_t>(n > 0 ? n : 0)] = '\0';
}

void formatIntegerText(std::int32_t value, char* text) noexcept {
    if (text == nullptr) return;
    if (value >= 100000000 || value < -9999999) {
        copyHostText(text, kTextHuge);
        return;
    }
    (void)std::snprintf(text, kDisplayWidth + 1, "%7d", static_cast<int>(value));  // fits: checked above
}

void Effect::formatDecibels(float value, char* text) {
    if (value > 0.0f) {
        formatFloat(static_cast<float>(20.0 * std::log10(static_cast<double>(value))), text);
    } else {
        copyHostText(text, kTextMinusInfinity);
    }
}

void Effect::formatHertz(float samples, char* text) {
    const float rate = getSampleRate();
    if (samples == 0.0f || std::isnan(samples)) {
        formatFloat(0.0f, text);
    } else {
        formatFloat(static_cast<float>(static_cast<double>(rate) / static_cast<double>(samples)), text);
    }
}

void Effect::formatMilliseconds(float samples, char* text) {
    const double ms = static_cast<double>(samples) * 1000.0 / static_cast<double>(getSampleRate());
    formatFloat(static_cast<float>(ms), text);
}

void Effect::formatFloat(float value, char* text) { formatFloatText(value, text); }

void Effect::formatInteger(std::int32_t value, char* text) { formatIntegerText(value, text); }
