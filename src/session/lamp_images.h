#pragma once

#include <QPixmap>

#include "session/display.h"

namespace tarvo {

/// The image of a lamp in every window that shows one: green, yellow, red,
/// and for NoData the green lamp turned grey, so a device whose last read
/// failed never looks healthy (a lamp of a few hundred pixels: cheap enough
/// to draw at each change).
QPixmap lampPixmap(Lamp lamp);

} // namespace tarvo
