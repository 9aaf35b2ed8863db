#include "gui/controls/list_head_ctrl.h"

#include <QPainter>

#include <algorithm>
#include <QStyleOptionHeader>

CListHeadCtrl::CListHeadCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent)
{
    setDefaultAlignment(Qt::AlignCenter);
    setSectionsClickable(true);
    setHighlightSections(false);
}

QFont CListHeadCtrl::HeaderFont()
{
    QFont font;
    // fontconfig would quietly substitute a Latin face for "宋体"; name the CJK fallbacks.
    font.setFamilies({QString::fromUtf8("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(12);
    return font;
}

void CListHeadCtrl::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    if (!rect.isValid())
        return;
    // Frame and background from the style, text of our own.
    QStyleOptionHeader opt;
    initStyleOption(&opt);
    opt.rect = rect;
    opt.section = logicalIndex;
    opt.text.clear();
    painter->save();
    style()->drawControl(QStyle::CE_HeaderSection, &opt, painter, this);
    const QString text =
        model() ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString() : QString();
    painter->setFont(HeaderFont());
    painter->setPen(palette().color(QPalette::ButtonText));
    painter->drawText(rect, Qt::AlignCenter, text);
    // The arrow of the column the rows are sorted by.
    if (isSortIndicatorShown() && sortIndicatorSection() == logicalIndex) {
        QStyleOptionHeader arrow;
        arrow.initFrom(this);
        const int size = std::min(rect.height() - 4, 10);
        arrow.rect = QRect(rect.right() - size - 4, rect.center().y() - size / 2, size, size);
        arrow.sortIndicator =
            sortIndicatorOrder() == Qt::AscendingOrder ? QStyleOptionHeader::SortDown : QStyleOptionHeader::SortUp;
        style()->drawPrimitive(QStyle::PE_IndicatorHeaderArrow, &arrow, painter, this);
    }
    painter->restore();
}

int CListHeadCtrl::SectionWidth(int logicalIndex) const
{
    return sectionSizeFromContents(logicalIndex).width();
}

QSize CListHeadCtrl::sectionSizeFromContents(int logicalIndex) const
{
    // Measured in the font the text is drawn in, with room for the arrow on either side of the
    // centred text.
    const QString text =
        model() ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString() : QString();
    const QFontMetrics metrics(HeaderFont());
    const QSize base = QHeaderView::sectionSizeFromContents(logicalIndex);
    return QSize(metrics.horizontalAdvance(text) + 2 * 16, std::max(base.height(), metrics.height() + 8));
}
