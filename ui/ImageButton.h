#pragma once

#include <QToolButton>

// The main window's command buttons: a raised button whose picture and caption sit side by side,
// centred together as one block, the caption a few pixels right of the picture. A plain tool
// button puts the picture at its left edge.
class TImageButton : public QToolButton {
    Q_OBJECT

public:
    explicit TImageButton(QWidget* parent = nullptr);

    // Pixels between the picture's right edge and the caption.
    static constexpr int CaptionGap = 4;

protected:
    void paintEvent(QPaintEvent* event) override;
};
