// Stored times, checked without writing an archive.
#include <gtest/gtest.h>

#include "platform/zipengine/EntryTime.h"

using namespace zip32;

// The field is read as unsigned, as 7-Zip reads it; a time it cannot hold becomes its nearest end.
TEST(EngineTime, ExtendedFieldRoundTripsAndClampsWhatItCannotHold) {
    auto field = extendedTimeField(1700000000);
    EXPECT_EQ(field[0], 1);
    EXPECT_EQ(parseExtendedTime(field.data(), 5), 1700000000);
    EXPECT_EQ(parseExtendedTime(extendedTimeField(int64_t{1} << 31).data(), 5), int64_t{1} << 31);
    EXPECT_EQ(parseExtendedTime(extendedTimeField(-1000).data(), 5), 0);
    EXPECT_EQ(parseExtendedTime(extendedTimeField(int64_t{1} << 33).data(), 5), 0xFFFFFFFFll);
    const uint8_t accessOnly[] = {2, 1, 2, 3, 4};
    EXPECT_FALSE(parseExtendedTime(accessOnly, 5));
    EXPECT_FALSE(parseExtendedTime(field.data(), 4));
}

TEST(EngineTime, DosTimesGetTwoSecondsOfTolerance) {
    const int64_t t = 1600000000;
    EXPECT_TRUE(fileIsNewer(t + 1, t, true));
    EXPECT_FALSE(fileIsNewer(t, t, true));
    EXPECT_FALSE(fileIsNewer(t - 1, t, true));
    EXPECT_FALSE(fileIsNewer(t + 1, t, false));
    EXPECT_TRUE(fileIsNewer(t + 2, t, false));
    // A file beyond what the field holds is not newer than its clamped entry.
    EXPECT_FALSE(fileIsNewer(int64_t{1} << 33, 0xFFFFFFFFll, true));
}
