// Modification times of entries: the extended-timestamp extra field (0x5455) that carries the UTC
// time, and the "is the file newer than its entry" rule of update runs.
#ifndef SONDREL_ZIPENGINE_ENTRYTIME_H
#define SONDREL_ZIPENGINE_ENTRYTIME_H

#include <array>
#include <cstdint>
#include <optional>

namespace zip32 {

constexpr uint16_t kExtendedTimeId = 0x5455;

// Flags byte (modification time present) and the time as 32-bit little-endian seconds; nothing
// for a time the field cannot hold.
std::optional<std::array<uint8_t, 5>> extendedTimeField(int64_t mtime);

// The modification time of a field's data, if it carries one.
std::optional<int64_t> parseExtendedTime(const uint8_t* data, uint16_t length);

// An entry's time is exact when it came from the extended field; otherwise it is the DOS time,
// which keeps even seconds only, so a file counts as newer from two seconds on.
bool fileIsNewer(int64_t fileTime, int64_t entryTime, bool entryTimeExact);

}  // namespace zip32

#endif
