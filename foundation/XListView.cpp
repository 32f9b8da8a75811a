#include "foundation/XListView.h"

#include <QHeaderView>

TXListView::TXListView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(true);
}
