#pragma once
// The one reader of a number typed or stored as text: stored counts, yes/no options and the level
// fields of the dialogs all read their number this way.

#include <QStringView>
#include <cstdint>

/// The decimal number at the start of sText (blanks before it skipped; an optional sign, digits,
/// an optional fraction), rounded to the nearest whole number with halves going to the even
/// neighbour. A text that does not begin with a number gives 0. Results beyond the 32-bit range
/// are clamped to it.
int32_t LeadingNumber(QStringView sText);
