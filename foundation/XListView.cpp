#include "foundation/XListView.h"

#include <QHeaderView>
#include <QPainter>

TXListView::TXListView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(true);
}

void TXListView::SetGridLines(bool on) {
  FGridLines = on;
  viewport()->update();
}

QColor TXListView::GridColor() const {
  QStyleOptionViewItem option;
  option.initFrom(this);
  return QColor::fromRgba(static_cast<QRgb>(style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this)));
}

void TXListView::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QTreeWidget::drawRow(painter, option, index);
  if (!FGridLines) return;
  const QRect row = option.rect;
  painter->save();
  painter->setPen(GridColor());
  painter->drawLine(row.left(), row.bottom(), row.right(), row.bottom());
  for (int column = 0; column < header()->count(); ++column) {
    if (header()->isSectionHidden(column)) continue;
    const int x = header()->sectionViewportPosition(column) + header()->sectionSize(column) - 1;
    painter->drawLine(x, row.top(), x, row.bottom());
  }
  painter->restore();
}
