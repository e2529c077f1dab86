#include "app/views/Symbols.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace nimbuscrate {

namespace {

// Every symbol is drawn on a 24 by 24 grid.
constexpr double kGrid = 24.0;

QPen strokePen(QColor colour, double width) {
    QPen pen(colour, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

// A small badge disc at the bottom right, cut out of what is below it.
void badgeDisc(QPainter& p, QPointF centre, double radius) {
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawEllipse(centre, radius + 1.4, radius + 1.4);
    p.restore();
}

void drawCheck(QPainter& p, QPointF centre, double size, QColor colour, double width) {
    QPainterPath check;
    check.moveTo(centre + QPointF(-size * 0.5, 0));
    check.lineTo(centre + QPointF(-size * 0.12, size * 0.38));
    check.lineTo(centre + QPointF(size * 0.55, -size * 0.42));
    p.setPen(strokePen(colour, width));
    p.setBrush(Qt::NoBrush);
    p.drawPath(check);
}

void drawCross(QPainter& p, QPointF centre, double size, QColor colour, double width) {
    p.setPen(strokePen(colour, width));
    p.drawLine(centre + QPointF(-size, -size), centre + QPointF(size, size));
    p.drawLine(centre + QPointF(-size, size), centre + QPointF(size, -size));
}

void drawDrive(QPainter& p, QColor colour, bool filled) {
    QRectF body(2.5, 7, 19, 10);
    if (filled) {
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(body, 2.5, 2.5);
        p.setBrush(Qt::NoBrush);
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(strokePen(Qt::black, 1.4));
        p.drawLine(QPointF(5.5, 12), QPointF(11, 12));
        p.restore();
    } else {
        p.setPen(strokePen(colour, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(body, 2.5, 2.5);
        p.drawLine(QPointF(5.5, 12), QPointF(11, 12));
    }
}

void drawPerson(QPainter& p, QColor colour, QPointF head, double scale) {
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(head, 4.2 * scale, 4.2 * scale);
    QPainterPath body;
    const QPointF base = head + QPointF(0, 6 * scale);
    body.moveTo(base + QPointF(-7.5 * scale, 9 * scale));
    body.cubicTo(base + QPointF(-7.5 * scale, 1 * scale), base + QPointF(7.5 * scale, 1 * scale),
                 base + QPointF(7.5 * scale, 9 * scale));
    body.closeSubpath();
    p.drawPath(body);
}

void drawArrows(QPainter& p, QColor colour) {
    // Two arcs chasing each other round the centre, each with an arrow head.
    const QRectF ring(4, 4, 16, 16);
    p.setPen(strokePen(colour, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(ring, 30 * 16, 130 * 16);
    p.drawArc(ring, 210 * 16, 130 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    QPainterPath head;
    head.moveTo(20.8, 9.2);
    head.lineTo(15.4, 8.4);
    head.lineTo(19.6, 4.6);
    head.closeSubpath();
    p.drawPath(head);
    QTransform half;
    half.translate(12, 12).rotate(180).translate(-12, -12);
    p.drawPath(half.map(head));
}

void paintSymbol(QPainter& p, Symbol symbol, QColor colour) {
    switch (symbol) {
        case Symbol::lockFill: {
            p.setPen(strokePen(colour, 2.2));
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(7.5, 3, 9, 11), 0, 180 * 16);
            p.drawLine(QPointF(7.5, 8.5), QPointF(7.5, 11));
            p.drawLine(QPointF(16.5, 8.5), QPointF(16.5, 11));
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawRoundedRect(QRectF(5, 10.5, 14, 11), 2, 2);
            break;
        }
        case Symbol::pauseCircle: {
            p.setPen(strokePen(colour, 1.8));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
            p.setPen(strokePen(colour, 2.4));
            p.drawLine(QPointF(9.6, 8), QPointF(9.6, 16));
            p.drawLine(QPointF(14.4, 8), QPointF(14.4, 16));
            break;
        }
        case Symbol::checkmarkCircleFill: {
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawEllipse(QRectF(2, 2, 20, 20));
            p.save();
            p.setCompositionMode(QPainter::CompositionMode_Clear);
            drawCheck(p, QPointF(12, 12.4), 9, Qt::black, 2.4);
            p.restore();
            break;
        }
        case Symbol::exclamationmarkTriangleFill: {
            QPainterPath triangle;
            triangle.moveTo(12, 2.5);
            triangle.lineTo(22.5, 21);
            triangle.lineTo(1.5, 21);
            triangle.closeSubpath();
            p.setPen(strokePen(colour, 1.5));
            p.setBrush(colour);
            p.drawPath(triangle);
            p.save();
            p.setCompositionMode(QPainter::CompositionMode_Clear);
            p.setPen(strokePen(Qt::black, 2.4));
            p.drawLine(QPointF(12, 9), QPointF(12, 14.2));
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::black);
            p.drawEllipse(QPointF(12, 17.6), 1.4, 1.4);
            p.restore();
            break;
        }
        case Symbol::personBadgeKeyFill: {
            drawPerson(p, colour, QPointF(9, 6.5), 0.95);
            badgeDisc(p, QPointF(18, 17), 5.5);
            p.setPen(strokePen(colour, 1.8));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QPointF(18, 14.2), 2.4, 2.4);
            p.drawLine(QPointF(18, 16.6), QPointF(18, 22.2));
            p.drawLine(QPointF(18, 20.2), QPointF(20, 20.2));
            break;
        }
        case Symbol::personCropCircleBadgeCheckmark: {
            p.setPen(strokePen(colour, 1.6));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(2, 2, 18, 18));
            p.save();
            p.setClipRegion(QRegion(QRect(2, 2, 18, 18), QRegion::Ellipse));
            drawPerson(p, colour, QPointF(11, 8.5), 0.8);
            p.restore();
            badgeDisc(p, QPointF(18.5, 18.5), 5);
            drawCheck(p, QPointF(18.5, 18.5), 6, colour, 1.8);
            break;
        }
        case Symbol::folderFill: {
            QPainterPath folder;
            folder.moveTo(2, 6);
            folder.lineTo(2, 19);
            folder.quadTo(2, 20.5, 3.5, 20.5);
            folder.lineTo(20.5, 20.5);
            folder.quadTo(22, 20.5, 22, 19);
            folder.lineTo(22, 8.5);
            folder.quadTo(22, 7, 20.5, 7);
            folder.lineTo(11, 7);
            folder.lineTo(9, 4.5);
            folder.lineTo(3.5, 4.5);
            folder.quadTo(2, 4.5, 2, 6);
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawPath(folder);
            break;
        }
        case Symbol::externaldriveBadgePlus: {
            drawDrive(p, colour, false);
            badgeDisc(p, QPointF(18.5, 18.5), 5);
            p.setPen(strokePen(colour, 1.8));
            p.drawLine(QPointF(18.5, 15), QPointF(18.5, 22));
            p.drawLine(QPointF(15, 18.5), QPointF(22, 18.5));
            break;
        }
        case Symbol::externaldriveFillBadgeCheckmark: {
            drawDrive(p, colour, true);
            badgeDisc(p, QPointF(18.5, 18.5), 5);
            drawCheck(p, QPointF(18.5, 18.8), 6.4, colour, 1.8);
            break;
        }
        case Symbol::externaldriveBadgeXmark: {
            drawDrive(p, colour, false);
            badgeDisc(p, QPointF(18.5, 18.5), 5);
            drawCross(p, QPointF(18.5, 18.5), 2.6, colour, 1.8);
            break;
        }
        case Symbol::arrowTriangle2Circlepath: {
            drawArrows(p, colour);
            break;
        }
    }
}

}  // namespace

QImage drawSymbol(Symbol symbol, int side, QColor colour, double rotationDegrees) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(side / kGrid, side / kGrid);
    if (rotationDegrees != 0) {
        p.translate(kGrid / 2, kGrid / 2);
        p.rotate(rotationDegrees);
        p.translate(-kGrid / 2, -kGrid / 2);
    }
    paintSymbol(p, symbol, colour);
    return image;
}

QIcon symbolIcon(Symbol symbol, QColor colour, int side) {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawSymbol(symbol, side, colour)));
    icon.addPixmap(QPixmap::fromImage(drawSymbol(symbol, side * 2, colour)));
    return icon;
}

QImage drawLogo(double scale) {
    const QSizeF size(151 * scale, 50 * scale);
    QImage image(size.toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    // A cloud over a crate, then the word mark.
    QLinearGradient fill(QPointF(4, 8), QPointF(44, 44));
    fill.setColorAt(0, QColor(0x5e, 0xc8, 0xff));
    fill.setColorAt(1, QColor(0x1f, 0x7a, 0xe0));
    QPainterPath cloud;
    cloud.setFillRule(Qt::WindingFill);
    cloud.addEllipse(QRectF(6, 14, 16, 16));
    cloud.addEllipse(QRectF(14, 7, 20, 20));
    cloud.addEllipse(QRectF(27, 14, 16, 16));
    cloud.addRoundedRect(QRectF(10, 20, 30, 10), 5, 5);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(cloud.simplified());
    p.setBrush(QColor(0xf2, 0xf6, 0xfa));
    p.drawRoundedRect(QRectF(13, 27, 24, 16), 2.5, 2.5);
    p.setPen(QPen(QColor(0x1f, 0x7a, 0xe0), 1.6));
    p.drawLine(QPointF(13, 32.5), QPointF(37, 32.5));
    p.drawLine(QPointF(22, 36.5), QPointF(28, 36.5));
    QFont font;
    font.setBold(true);
    // The largest size at which the word fits beside the mark.
    for (int pixels = 19; pixels > 8; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetricsF(font).horizontalAdvance(QStringLiteral("Nimbuscrate")) <= 99) break;
    }
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(49, 0, 102, 50), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Nimbuscrate"));
    return image;
}

QImage drawTrayImage(Symbol symbol, double rotationDegrees, int side) {
    return drawSymbol(symbol, side, QColor(0xe8, 0xee, 0xf4), rotationDegrees);
}

}  // namespace nimbuscrate
