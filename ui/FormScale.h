#pragma once
// The forms' twips were laid out for an 8.25-point font (about 5 x 13 pixels a character at
// 96 DPI). The desktop's font is usually bigger; a form scales its twips by this factor so that
// its captions keep fitting.

#include <QFontMetricsF>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace FormScale {

inline double Factor(const QWidget* w) {
    const QFontMetricsF metrics(w->font());
    const double widthRatio = metrics.averageCharWidth() / (5.0 * w->logicalDpiX() / 96.0);
    const double heightRatio = metrics.height() / (13.0 * w->logicalDpiY() / 96.0);
    return std::max({1.0, widthRatio, heightRatio});
}

inline int Scaled(int twips, double factor) {
    return static_cast<int>(std::lround(twips * factor));
}

}  // namespace FormScale
