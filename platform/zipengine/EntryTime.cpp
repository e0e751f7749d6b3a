#include "platform/zipengine/EntryTime.h"

#include <algorithm>
#include <ctime>

namespace zip32 {

namespace {

int64_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&parts));
}

constexpr int64_t kExtendedLast = 0xFFFFFFFFll;

}  // namespace

int64_t clampToDosRange(int64_t mtime) {
    // The program names its time zone once at its start; the bounds follow it.
    static const int64_t first = localTime(1980, 1, 1, 0, 0, 0);
    static const int64_t last = localTime(2107, 12, 31, 23, 59, 58);
    return std::clamp(mtime, first, last);
}

int64_t clampToExtendedRange(int64_t mtime) {
    return std::clamp<int64_t>(mtime, 0, kExtendedLast);
}

std::array<uint8_t, 5> extendedTimeField(int64_t mtime) {
    const auto bits = static_cast<uint32_t>(clampToExtendedRange(mtime));
    return {1, static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
            static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
}

int64_t dosTimeToSeconds(uint16_t date, uint16_t time) {
    return localTime((date >> 9) + 1980, (date >> 5) & 0xF, date & 0x1F, time >> 11,
                     (time >> 5) & 0x3F, (time & 0x1F) * 2);
}

std::optional<int64_t> parseExtendedTime(const uint8_t* data, uint16_t length) {
    if (data == nullptr || length < 5 || (data[0] & 1) == 0) {
        return std::nullopt;
    }
    uint32_t bits = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                    static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    return static_cast<int64_t>(bits);
}

bool fileIsNewer(int64_t fileTime, int64_t entryTime, bool entryTimeExact) {
    return entryTimeExact ? clampToExtendedRange(fileTime) > entryTime
                          : clampToDosRange(fileTime) - entryTime >= 2;
}

}  // namespace zip32
