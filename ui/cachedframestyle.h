#pragma once

#include <QHash>
#include <QPixmap>
#include <QProxyStyle>

// Draws line-edit frames once per size, state and palette and reuses the picture. The Fusion
// style strokes them antialiased, which is slow for a wide field: the barcode field spans the
// page and is repainted on every scan and focus change.
class CachedFrameStyle : public QProxyStyle
{
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;

private:
    static constexpr int kMaxPictures = 16;
    mutable QHash<QString, QPixmap> m_pictures;
};
