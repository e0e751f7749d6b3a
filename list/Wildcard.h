#pragma once
// The one wildcard matcher of the system: the list's key filter and the folder scan's extension
// filter both use it.

#include <QStringView>

/// True when the whole text matches the whole pattern. Comparison is ordinal, one UTF-16 code unit
/// at a time. In the pattern: "?" matches one unit, "*" any run of units (none included), "#" one
/// digit 0-9, and "[...]" one unit of the listed set: "a-z" is a range in code unit order, "!"
/// right after "[" negates the set, a "-" first or last in the set stands for itself, and "[",
/// "?", "#", "*" inside stand for themselves. A set ends at the first "]"; "[]" and a reversed
/// range such as "z-a" hold nothing, so "[]" matches nothing and "[!]" any one unit. A "[" without
/// a closing "]" stands for itself. Every other unit matches only itself. Runs in time proportional
/// to text length times pattern length, whatever the pattern.
bool WildcardMatch(QStringView text, QStringView pattern);
