// The number text of track files, against the C library's "%f" and "%0Nd"
// where that library is glibc (the reference), and against known text
// everywhere.
#include "../recorder/gpx_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

std::string fixed6(float v) {
    char text[GPX_FIXED6_MAX + 1];
    char* end = appendFixed6(text, v);
    return std::string(text, end);
}

std::string padded(int32_t v, int width) {
    char text[GPX_INT_MAX + 1];
    return std::string(text, appendInt(text, v, width));
}

float fromBits(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

TEST(GpxText, RoundsTiesToEvenAndKeepsTheSignOfZero) {
    EXPECT_EQ("0.007812", fixed6(0.0078125f)); // 7812.5 micro: down to even
    EXPECT_EQ("0.023438", fixed6(0.0234375f)); // 23437.5 micro: up to even
    EXPECT_EQ("123456.789062", fixed6(123456.789f));
    EXPECT_EQ("-0.000000", fixed6(-0.0f));
    EXPECT_EQ("-0.000000", fixed6(-1e-7f));
    EXPECT_EQ("0.000000", fixed6(fromBits(1))); // smallest subnormal
    EXPECT_EQ("340282346638528859811704183484516925440.000000", fixed6(fromBits(0x7F7FFFFF)));
    EXPECT_EQ("16777216.000000", fixed6(16777216.0f));
    EXPECT_EQ("549755813888.000000", fixed6(549755813888.0f));   // 2^39, last 64-bit whole
    EXPECT_EQ("1099511627776.000000", fixed6(1099511627776.0f)); // 2^40, wide path
    EXPECT_EQ("inf", fixed6(fromBits(0x7F800000)));
    EXPECT_EQ("-inf", fixed6(fromBits(0xFF800000)));
    EXPECT_EQ("nan", fixed6(fromBits(0x7FC00000)));
}

TEST(GpxText, CarriesRoundingIntoTheWholePart) {
    EXPECT_EQ("1.000000", fixed6(0.9999999f)); // 0.99999988
    EXPECT_EQ("2.000000", fixed6(1.9999999f)); // 1.99999988
    EXPECT_EQ("8.000000", fixed6(7.9999996f)); // 7.99999952
    EXPECT_EQ("-4.000000", fixed6(-3.9999998f));
    EXPECT_EQ("0.999999", fixed6(0.9999994f)); // 0.99999940: no carry
}

TEST(GpxText, PadsIntegersLikePrintf) {
    EXPECT_EQ("2010", padded(2010, 4));
    EXPECT_EQ("0007", padded(7, 4));
    EXPECT_EQ("05", padded(5, 2));
    EXPECT_EQ("255", padded(255, 2));
    EXPECT_EQ("-001", padded(-1, 4));
    EXPECT_EQ("-5", padded(-5, 2));
    EXPECT_EQ("-2147483648", padded(-2147483647 - 1, 4));
    EXPECT_EQ("2147483647", padded(2147483647, 2));
}

TEST(GpxText, FiniteMeansNeitherInfinityNorNaN) {
    EXPECT_TRUE(isFiniteFloat(fromBits(0x7F7FFFFF)));
    EXPECT_TRUE(isFiniteFloat(-0.0f));
    EXPECT_FALSE(isFiniteFloat(fromBits(0x7F800000)));
    EXPECT_FALSE(isFiniteFloat(fromBits(0xFF800001)));
}

#if defined(__GLIBC__)
// glibc prints the correctly rounded text; ours must match it bit pattern
// for bit pattern, across every exponent.
TEST(GpxText, MatchesGlibcForEveryExponent) {
    std::mt19937 random(20100520);
    char reference[64];
    for (uint32_t biased = 0; biased < 255; ++biased) {
        for (int i = 0; i < 4000; ++i) {
            const uint32_t bits = (random() & 0x807FFFFFu) | (biased << 23);
            const float v = fromBits(i == 0 ? (biased << 23) : bits);
            std::snprintf(reference, sizeof reference, "%f", static_cast<double>(v));
            ASSERT_EQ(reference, fixed6(v)) << std::hex << bits;
        }
    }
}

TEST(GpxText, MatchesGlibcForIntegers) {
    std::mt19937 random(7);
    char reference[32];
    for (int i = 0; i < 100000; ++i) {
        const int32_t v = static_cast<int32_t>(random()) >> (random() % 32);
        const int width = i % 2 == 0 ? 2 : 4;
        std::snprintf(reference, sizeof reference, "%0*d", width, v);
        ASSERT_EQ(reference, padded(v, width));
    }
}
#endif

// The next free name of a track: the second after, across every boundary.
TEST(GpxText, AddsOneSecondAcrossCalendarBoundaries) {
    const LocalTime cases[][2] = {
        {{2010, 5, 20, 14, 3, 7}, {2010, 5, 20, 14, 3, 8}},
        {{2010, 5, 20, 14, 3, 59}, {2010, 5, 20, 14, 4, 0}},
        {{2010, 5, 20, 14, 59, 59}, {2010, 5, 20, 15, 0, 0}},
        {{2010, 5, 31, 23, 59, 59}, {2010, 6, 1, 0, 0, 0}},
        {{2010, 4, 30, 23, 59, 59}, {2010, 5, 1, 0, 0, 0}},
        {{2010, 12, 31, 23, 59, 59}, {2011, 1, 1, 0, 0, 0}},
        {{2024, 2, 28, 23, 59, 59}, {2024, 2, 29, 0, 0, 0}},
        {{2023, 2, 28, 23, 59, 59}, {2023, 3, 1, 0, 0, 0}},
        {{2100, 2, 28, 23, 59, 59}, {2100, 3, 1, 0, 0, 0}},
        {{2000, 2, 28, 23, 59, 59}, {2000, 2, 29, 0, 0, 0}},
        {{2016, 12, 31, 23, 59, 60}, {2017, 1, 1, 0, 0, 0}}, // a leap second
    };
    for (const auto& c : cases) {
        LocalTime t = c[0];
        addOneSecond(&t);
        EXPECT_EQ(0, std::memcmp(&c[1], &t, sizeof t))
            << c[0].year << "-" << c[0].month << "-" << c[0].day << " " << c[0].hour << ":"
            << c[0].minute << ":" << c[0].second << " gave " << t.year << "-" << t.month << "-"
            << t.day << " " << t.hour << ":" << t.minute << ":" << t.second;
    }
}

} // namespace
