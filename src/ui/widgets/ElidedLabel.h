#pragma once
// A one-line label for paths and file names: a text too long for its space loses its middle
// ("/home/photos/…/Ceremony") instead of widening the window. text() stays the whole text.

#include <QLabel>

namespace vesk {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace vesk
