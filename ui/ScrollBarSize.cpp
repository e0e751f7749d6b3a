#include "ui/ScrollBarSize.h"

#include <QApplication>
#include <QScreen>
#include <QStyle>
#include <cmath>

namespace modBackup {

int32_t ScrollBarSize(bool Horizontal) {
    const int lPixels = QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    double dpi = 96.0;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpi = Horizontal ? screen->logicalDotsPerInchY() : screen->logicalDotsPerInchX();
    }
    return static_cast<int32_t>(std::lround(lPixels * 1440.0 / dpi));
}

}  // namespace modBackup
