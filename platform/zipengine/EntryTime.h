#pragma once
// Modification times of entries: the DOS time every entry carries, the extended-timestamp extra
// field (0x5455) that carries the UTC time, and the "is the file newer than its entry" rule of
// update runs. A time that a field cannot hold is stored as the nearest one it can, never wrapped.

#include <array>
#include <cstdint>
#include <optional>

namespace zip32 {

constexpr uint16_t kExtendedTimeId = 0x5455;

// The DOS time holds local times from 1980-01-01 00:00:00 to 2107-12-31 23:59:58.
int64_t clampToDosRange(int64_t mtime);

// The extended field holds an unsigned 32-bit count of seconds: 1970-01-01 00:00:00 UTC to
// 2106-02-07 06:28:15 UTC.
int64_t clampToExtendedRange(int64_t mtime);

// Flags byte (modification time present) and the clamped time as 32-bit little-endian seconds.
std::array<uint8_t, 5> extendedTimeField(int64_t mtime);

// The local time a DOS date and time stand for, as clients read them.
int64_t dosTimeToSeconds(uint16_t date, uint16_t time);

// The modification time of a field's data, if it carries one.
std::optional<int64_t> parseExtendedTime(const uint8_t* data, uint16_t length);

// An entry's time is exact when it came from the extended field; otherwise it is the DOS time,
// which keeps even seconds only, so a file counts as newer from two seconds on. The file's time is
// clamped as its entry's would be.
bool fileIsNewer(int64_t fileTime, int64_t entryTime, bool entryTimeExact);

}  // namespace zip32
