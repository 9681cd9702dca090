#include "ui/cachedframestyle.h"

#include <QPainter>
#include <QStyleOption>

void CachedFrameStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                     const QWidget *widget) const
{
    const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
    // Only the frame, drawn unscaled; anything else goes to the style as it is.
    if (element != PE_FrameLineEdit || !frame || frame->rect.isEmpty() || !painter->device() ||
        painter->transform().type() > QTransform::TxTranslate) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal ratio = painter->device()->devicePixelRatioF();
    const QString key = QStringLiteral("%1x%2@%3:%4:%5")
                            .arg(option->rect.width())
                            .arg(option->rect.height())
                            .arg(ratio)
                            .arg(uint(option->state))
                            .arg(option->palette.cacheKey());
    auto it = m_pictures.constFind(key);
    if (it == m_pictures.constEnd()) {
        QPixmap picture(option->rect.size() * ratio);
        picture.setDevicePixelRatio(ratio);
        picture.fill(Qt::transparent);
        QStyleOptionFrame moved(*frame);
        moved.rect.moveTo(0, 0);
        {
            QPainter p(&picture);
            QProxyStyle::drawPrimitive(element, &moved, &p, widget);
        }
        if (m_pictures.size() >= kMaxPictures)
            m_pictures.clear();
        it = m_pictures.insert(key, picture);
    }
    painter->drawPixmap(option->rect.topLeft(), *it);
}
