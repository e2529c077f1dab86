#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>

namespace nimbuscrate {

// The symbols the window, the sheet and the tray show, drawn by the app
// itself with QPainter so that they look the same on every desktop and in
// every run (no icon theme is consulted).
enum class Symbol {
    lockFill,
    pauseCircle,
    checkmarkCircleFill,
    exclamationmarkTriangleFill,
    personBadgeKeyFill,
    personCropCircleBadgeCheckmark,
    folderFill,
    externaldriveBadgePlus,
    externaldriveFillBadgeCheckmark,
    externaldriveBadgeXmark,
    arrowTriangle2Circlepath,
};

// The symbol in a square image of side pixels, in one colour.
QImage drawSymbol(Symbol symbol, int side, QColor colour, double rotationDegrees = 0);
QIcon symbolIcon(Symbol symbol, QColor colour, int side = 18);

// The product logo, about 151 by 50 (scaled by factor).
QImage drawLogo(double scale = 1.0);

// The tray image: the drive with its badge, or the upload arrows turned by angle.
QImage drawTrayImage(Symbol symbol, double rotationDegrees, int side = 22);

}  // namespace nimbuscrate
