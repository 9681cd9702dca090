#pragma once

// Reads what an X server shows, for checking colours on screen.

#include <QImage>
#include <QString>

namespace e2e {

// The contents of `window` (0: the whole screen) on `display`; a null image when it cannot be read.
QImage grabWindow(const QString &display, quint32 window);

// Pixels of exactly this colour; -1 for a null image.
int countPixels(const QImage &image, QRgb colour);

} // namespace e2e
