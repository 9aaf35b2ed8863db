#include "gui/controls/list_head_ctrl.h"

#include <QPainter>
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
    const QString text = model() ? model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString()
                                 : QString();
    painter->setFont(HeaderFont());
    painter->setPen(palette().color(QPalette::ButtonText));
    painter->drawText(rect, Qt::AlignCenter, text);
    painter->restore();
}
