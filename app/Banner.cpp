// A play symbol on a rounded tile with a downward arrow, then the name and a tag line.
#include "app/Banner.h"
#include "ui/Translate.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap MakeBanner() {
    QPixmap pixmap(345, 60);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient tile(0, 8, 0, 52);
    tile.setColorAt(0, QColor(0xe8, 0x4a, 0x2f));
    tile.setColorAt(1, QColor(0xb0, 0x22, 0x16));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(14, 8, 44, 44), 9, 9);

    QPainterPath play;
    play.moveTo(29, 17);
    play.lineTo(46, 27);
    play.lineTo(29, 37);
    play.closeSubpath();
    p.setBrush(Qt::white);
    p.drawPath(play);
    p.drawRect(QRectF(24, 42, 24, 3));

    QFont name(QStringLiteral("Tahoma"));
    name.setPixelSize(26);
    name.setBold(true);
    p.setFont(name);
    p.setPen(QColor(0x30, 0x30, 0x30));
    p.drawText(QRectF(70, 6, 270, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Sorlen"));

    QFont tag(QStringLiteral("Tahoma"));
    tag.setPixelSize(11);
    p.setFont(tag);
    p.setPen(QColor(0x70, 0x70, 0x70));
    p.drawText(QRectF(71, 36, 270, 16), Qt::AlignLeft | Qt::AlignVCenter, Tr("video downloader"));

    p.setPen(QColor(0xdd, 0xdd, 0xdd));
    p.drawLine(0, 59, 345, 59);
    return pixmap;
}
