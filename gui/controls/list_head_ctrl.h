#pragma once
// CListHeadCtrl: a list header that draws every item's text centred in a 12-pixel CJK font.

#include <QHeaderView>

class CListHeadCtrl : public QHeaderView {
    Q_OBJECT
public:
    explicit CListHeadCtrl(QWidget* parent = nullptr);

    // The header font: 12 pixels, "宋体" where installed, otherwise the desktop's CJK face.
    static QFont HeaderFont();
    // The width a section needs for its whole text, its margins and the sort arrow.
    int SectionWidth(int logicalIndex) const;

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    QSize sectionSizeFromContents(int logicalIndex) const override;
};
