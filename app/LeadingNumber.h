#pragma once
// The one reader of a number typed or stored as text: stored counts, yes/no options and the level
// fields of the dialogs all read their number this way.

#include <QStringView>
#include <cstdint>
#include <optional>

/// The decimal number at the start of sText (blanks before it skipped; an optional sign, digits,
/// an optional fraction), rounded to the nearest whole number with halves going to the even
/// neighbour. A text that does not begin with a number gives 0. Results beyond the 32-bit range
/// are clamped to it.
int32_t LeadingNumber(QStringView sText);
/// The same, but nullopt for a text that does not begin with a number.
std::optional<int32_t> LeadingNumberIfAny(QStringView sText);

/// The bounds of a limit of folder levels.
inline constexpr int32_t kMinFolderLevel = 1;
inline constexpr int32_t kMaxFolderLevel = 99;

/// The limit of folder levels a text stands for (the level fields, "RecursionLimit"): its leading
/// number clamped to kMinFolderLevel..kMaxFolderLevel.
int32_t FolderLevel(QStringView sText);
