#pragma once
// Forms lay out in twips (1440 per logical inch); Qt in pixels.

#include <QWidget>
#include <cmath>

namespace Twips {

inline int ToPixelsX(int twips, const QWidget* w) {
    return static_cast<int>(std::lround(twips * w->logicalDpiX() / 1440.0));
}
inline int ToPixelsY(int twips, const QWidget* w) {
    return static_cast<int>(std::lround(twips * w->logicalDpiY() / 1440.0));
}
inline QRect ToRect(int left, int top, int width, int height, const QWidget* w) {
    return QRect(ToPixelsX(left, w), ToPixelsY(top, w), ToPixelsX(width, w), ToPixelsY(height, w));
}
inline int FromPixelsY(int pixels, const QWidget* w) {
    return static_cast<int>(std::lround(pixels * 1440.0 / w->logicalDpiY()));
}

}  // namespace Twips
