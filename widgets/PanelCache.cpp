#include "widgets/PanelCache.h"

#include <QPainter>
#include <QStyleOptionFrame>

void TPanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                                     const QWidget *widget) const
{
    const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
    // Only an untransformed panel is the same picture at every paint.
    if (element != PE_PanelLineEdit || !frame || painter->transform().type() > QTransform::TxTranslate) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const qreal ratio = painter->device()->devicePixelRatioF();
    const Key key{option->rect.size(), ratio, option->state, option->palette.cacheKey(), frame->lineWidth};
    if (cached.isNull() || !(key == cachedKey)) {
        QPixmap picture(option->rect.size() * ratio);
        picture.setDevicePixelRatio(ratio);
        picture.fill(Qt::transparent);
        QStyleOptionFrame atOrigin(*frame);
        atOrigin.rect.moveTopLeft(QPoint(0, 0));
        QPainter p(&picture);
        QProxyStyle::drawPrimitive(element, &atOrigin, &p, widget);
        p.end();
        cached = picture;
        cachedKey = key;
    }
    painter->drawPixmap(option->rect.topLeft(), cached);
}
