#include "platform/zipengine/EntryTime.h"

#include <limits>

namespace zip32 {

std::optional<std::array<uint8_t, 5>> extendedTimeField(int64_t mtime) {
    if (mtime < std::numeric_limits<int32_t>::min() ||
        mtime > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    auto bits = static_cast<uint32_t>(static_cast<int32_t>(mtime));
    return std::array<uint8_t, 5>{1, static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                  static_cast<uint8_t>(bits >> 16),
                                  static_cast<uint8_t>(bits >> 24)};
}

std::optional<int64_t> parseExtendedTime(const uint8_t* data, uint16_t length) {
    if (data == nullptr || length < 5 || (data[0] & 1) == 0) {
        return std::nullopt;
    }
    uint32_t bits = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8 |
                    static_cast<uint32_t>(data[3]) << 16 | static_cast<uint32_t>(data[4]) << 24;
    return static_cast<int32_t>(bits);
}

bool fileIsNewer(int64_t fileTime, int64_t entryTime, bool entryTimeExact) {
    return entryTimeExact ? fileTime > entryTime : fileTime - entryTime >= 2;
}

}  // namespace zip32
