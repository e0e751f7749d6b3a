#pragma once
// Layout helper of modBackup that needs the widget style, so it lives with the forms.

#include <cstdint>

namespace modBackup {

/// The style's scroll-bar extent in twips: with Horizontal the height of a horizontal scroll bar
/// (screen's vertical twips per pixel), otherwise the width of a vertical one (horizontal twips per
/// pixel), rounded. Needs a QApplication.
int32_t ScrollBarSize(bool Horizontal);

}  // namespace modBackup
