#include "ImageButton.h"

#include <QStyleOptionToolButton>
#include <QStylePainter>

TImageButton::TImageButton(QWidget* parent) : QToolButton(parent) {}

void TImageButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionToolButton option;
    initStyleOption(&option);
    const QIcon picture = option.icon;
    const QString caption = option.text;

    // The style draws the bevel alone; the block of picture and caption is laid out here.
    option.icon = QIcon();
    option.text.clear();
    painter.drawComplexControl(QStyle::CC_ToolButton, option);

    QRect area = style()->subControlRect(QStyle::CC_ToolButton, &option, QStyle::SC_ToolButton, this);
    // A pressed button shows its face shifted, as the style does for its own labels.
    if (option.state & (QStyle::State_Sunken | QStyle::State_On))
        area.translate(style()->pixelMetric(QStyle::PM_ButtonShiftHorizontal, &option, this),
                       style()->pixelMetric(QStyle::PM_ButtonShiftVertical, &option, this));

    const QSize pictureSize = option.iconSize;
    const int captionWidth = option.fontMetrics.horizontalAdvance(caption);
    const int blockWidth = pictureSize.width() + CaptionGap + captionWidth;
    const QRect pictureRect(area.left() + (area.width() - blockWidth) / 2,
                            area.top() + (area.height() - pictureSize.height()) / 2, pictureSize.width(),
                            pictureSize.height());
    picture.paint(&painter, pictureRect, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);

    const QRect captionRect(pictureRect.right() + 1 + CaptionGap, area.top(), captionWidth, area.height());
    painter.drawItemText(captionRect, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), caption,
                         QPalette::ButtonText);
}
