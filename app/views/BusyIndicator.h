#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

namespace nimbuscrate {

// A small indeterminate progress indicator: an arc that turns while shown.
class BusyIndicator : public QWidget {
    Q_OBJECT

public:
    explicit BusyIndicator(int side, QColor colour, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {side_, side_}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    int side_;
    QColor colour_;
    QElapsedTimer shownFor_;
    QTimer frames_;
};

}  // namespace nimbuscrate
