#pragma once
// A field whose text changes many times a second (the exchange counter) would
// have its framed panel stroked again for every change. The panel depends only
// on the field's size, state and palette, so it is drawn once into a pixmap and
// copied from there; the text is still drawn afresh by the field itself.
#include <QPixmap>
#include <QProxyStyle>

class TPanelCacheStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;

private:
    struct Key {
        QSize size;
        qreal ratio = 0;
        QStyle::State state;
        qint64 palette = 0;
        int lineWidth = 0;
        bool operator==(const Key &) const = default;
    };
    mutable Key cachedKey;
    mutable QPixmap cached;
};
