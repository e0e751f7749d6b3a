#pragma once
// The forms' twips were laid out for an 8.25-point font (about 5 x 13 pixels a character at
// 96 DPI). The desktop's font is usually bigger; a form scales its twips by this factor so that
// its captions keep fitting.

#include <QFontMetricsF>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "ui/Twips.h"

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

// Fixes the client size of the form w at width x height twips, scaled to its font.
inline void SetFixedClientSize(QWidget* w, int width, int height) {
    const double factor = Factor(w);
    w->setFixedSize(Twips::ToPixelsX(Scaled(width, factor), w),
                    Twips::ToPixelsY(Scaled(height, factor), w));
}

// Places w at the twips rectangle, scaled to the desktop's font. A single-line text that would
// still be clipped grows around its vertical centre and to the right.
inline void Place(QWidget* w, int left, int top, int width, int height, bool bGrowToText) {
    const double factor = Factor(w->window());
    QRect rect = Twips::ToRect(Scaled(left, factor), Scaled(top, factor), Scaled(width, factor),
                               Scaled(height, factor), w);
    if (bGrowToText) {
        const QSize hint = w->sizeHint();
        if (hint.height() > rect.height()) {
            rect.adjust(0, -(hint.height() - rect.height()) / 2, 0, 0);
            rect.setHeight(hint.height());
        }
        if (hint.width() > rect.width()) {
            rect.setWidth(hint.width());
        }
    }
    w->setGeometry(rect);
}

// For a caption that ends where the next control begins: when it has grown to its text, it moves
// left so that it ends at rightTwips (scaled) again instead of reaching into that control.
inline void KeepRightEdge(QWidget* w, int rightTwips) {
    const int right = Twips::ToPixelsX(Scaled(rightTwips, Factor(w->window())), w);
    if (w->geometry().right() + 1 > right) {
        w->move(right - w->width(), w->y());
    }
}

}  // namespace FormScale
