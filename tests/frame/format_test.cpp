// Display texts: exact strings for the edges of each format, at most 9 bytes
// written, and the unit formats built on the effect's own formatFloat.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "frame_harness.h"
#include "host/effect_format.h"

namespace {

using ::testing::ElementsAre;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Shown { float value; const char* text; };

// Formats into a buffer larger than the field and checks that nothing lands
// beyond the NUL's place.
template <class Number>
std::string show(Effect& fx, void (Effect::*format)(Number, char*), Number value) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    (fx.*format)(value, buf);
    EXPECT_EQ(std::string(buf + kDisplayWidth + 1, sizeof buf - kDisplayWidth - 1), "#######") << value;
    return std::string(buf, std::find(buf, buf + sizeof buf, '\0'));
}

void expectShown(Effect& fx, void (Effect::*format)(float, char*), std::initializer_list<Shown> cases) {
    for (const Shown& c : cases) EXPECT_EQ(show(fx, format, c.value), c.text) << "value " << c.value;
}

TEST_F(Frame, FloatShowsEightCharactersWithTheFractionCut) {
    Instance fx;
    expectShown(*fx.fx, &Effect::formatFloat,
                {{0.0f, "0.000000"}, {-0.0f, "0.000000"}, {1.5f, "1.500000"}, {-1.5f, "-1.50000"},
                 {-0.5f, "-0.50000"}, {3.14159f, "3.141590"}, {42.0f, "42.00000"}, {-42.0f, "-42.0000"},
                 {123.456f, "123.4560"}, {65536.0f, "65536.00"}, {1234567.0f, "1234567."},
                 {-999999.0f, "-999999."}, {0.7f, "0.699999"}, {0.000001f, "0.000000"}, {1e-45f, "0.000000"},
                 {10.0f, "10.00000"}, {100.0f, "100.0000"}, {1000.0f, "1000.000"}, {10000.0f, "10000.00"},
                 {100000.0f, "100000.0"}, {1000000.0f, "1000000."}, {9999999.0f, "9999999."},
                 {-100000.0f, "-100000."}, {-999999.5f, "-999999."}});
}

TEST_F(Frame, FloatTooWideForTheFieldShowsHuge) {
    Instance fx;
    // Seven integer digits fit beside the point, six behind a minus sign;
    // a wider number shows " Huge!  " rather than losing its leading digit.
    expectShown(*fx.fx, &Effect::formatFloat,
                {{10000000.0f, " Huge!  "}, {12345678.0f, " Huge!  "}, {99999999.0f, " Huge!  "},
                 {100000000.0f, " Huge!  "}, {-1000000.0f, " Huge!  "}, {-9999999.0f, " Huge!  "},
                 {-10000000.0f, " Huge!  "}, {kInf, " Huge!  "}, {-kInf, " Huge!  "},
                 {std::numeric_limits<float>::max(), " Huge!  "}, {kNaN, "  NaN   "}, {-kNaN, "  NaN   "}});
}

TEST_F(Frame, DecibelsShowTwentyLogOrMinusInfinity) {
    Instance fx;
    expectShown(*fx.fx, &Effect::formatDecibels,
                {{1.0f, "0.000000"}, {0.5f, "-6.02059"}, {2.0f, "6.020599"}, {10.0f, "20.00000"},
                 {0.001f, "-60.0000"}, {0.0f, "  -oo   "}, {-0.0f, "  -oo   "}, {-1.0f, "  -oo   "},
                 {kNaN, "  -oo   "}, {-kInf, "  -oo   "}, {kInf, " Huge!  "}});
}

TEST_F(Frame, HertzAndMillisecondsFollowTheSampleRate) {
    Instance fx;
    expectShown(*fx.fx, &Effect::formatHertz,
                {{100.0f, "441.0000"}, {1.0f, "44100.00"}, {44100.0f, "1.000000"}, {0.0f, "0.000000"},
                 {-0.0f, "0.000000"}, {kNaN, "0.000000"}, {-100.0f, "-441.000"}});
    expectShown(*fx.fx, &Effect::formatMilliseconds,
                {{44100.0f, "1000.000"}, {441.0f, "10.00000"}, {1.0f, "0.022675"}, {0.0f, "0.000000"}});
    fx(10, 0, 0, nullptr, 48000.0f);
    expectShown(*fx.fx, &Effect::formatHertz, {{480.0f, "100.0000"}});
    expectShown(*fx.fx, &Effect::formatMilliseconds, {{48.0f, "1.000000"}});
}

TEST_F(Frame, IntegerShowsSevenWideOrHuge) {
    Instance fx;
    struct Case { std::int32_t value; const char* text; };
    for (const Case c : {Case{0, "      0"}, {42, "     42"}, {-5, "     -5"}, {1234567, "1234567"},
                         {12345678, "12345678"}, {99999999, "99999999"}, {-9999999, "-9999999"},
                         {100000000, " Huge!  "}, {INT32_MAX, " Huge!  "}, {-10000000, " Huge!  "},
                         {INT32_MIN, " Huge!  "}})
        EXPECT_EQ(show(*fx.fx, &Effect::formatInteger, c.value), c.text) << "value " << c.value;
}

TEST_F(Frame, UnitFormatsGoThroughTheEffectsFormatFloat) {
    Instance fx;
    char text[9];
    fx.fx->formatDecibels(10.0f, text);
    fx.fx->formatHertz(100.0f, text);
    fx.fx->formatMilliseconds(441.0f, text);
    fx.fx->formatHertz(0.0f, text);
    fx.fx->formatDecibels(0.0f, text);  // "  -oo   " is written directly
    EXPECT_THAT(ops(), ElementsAre(Call{"formatFloat", {}, 20.0f}, Call{"formatFloat", {}, 441.0f},
                                   Call{"formatFloat", {}, 10.0f}, Call{"formatFloat", {}, 0.0f}));
}

TEST_F(Frame, FormatsWriteNothingThroughANullBuffer) {
    Instance fx;
    for (float v : {1.0f, 0.0f, 1e30f, kNaN}) {
        fx.fx->formatFloat(v, nullptr);
        fx.fx->formatDecibels(v, nullptr);
        fx.fx->formatHertz(v, nullptr);
        fx.fx->formatMilliseconds(v, nullptr);
    }
    fx.fx->formatInteger(1, nullptr);
    fx.fx->formatInteger(INT32_MIN, nullptr);
}

}  // namespace
