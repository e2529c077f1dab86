#include "app/views/BusyIndicator.h"

#include <QPainter>

#include "app/views/UploadSpinner.h"

namespace nimbuscrate {

BusyIndicator::BusyIndicator(int side, QColor colour, QWidget* parent)
    : QWidget(parent), side_(side), colour_(colour) {
    setFixedSize(side, side);
    frames_.setInterval(static_cast<int>(UploadSpinner::kFrameInterval.count()));
    connect(&frames_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void BusyIndicator::showEvent(QShowEvent*) {
    shownFor_.start();
    frames_.start();
}

void BusyIndicator::hideEvent(QHideEvent*) { frames_.stop(); }

void BusyIndicator::paintEvent(QPaintEvent*) {
    const double angle =
        shownFor_.isValid() ? UploadSpinner::angleAt(std::chrono::milliseconds(shownFor_.elapsed())) : 0.0;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double pen = std::max(1.5, side_ / 8.0);
    const QRectF ring = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
    QColor faint = colour_;
    faint.setAlphaF(0.25);
    p.setPen(QPen(faint, pen));
    p.drawEllipse(ring);
    QPen arc(colour_, pen);
    arc.setCapStyle(Qt::RoundCap);
    p.setPen(arc);
    p.drawArc(ring, static_cast<int>((90 - angle) * 16), 100 * 16);
}

}  // namespace nimbuscrate
