#include "platform/ui/ListView.h"

#include <QHeaderView>

#include "platform/ui/UiText.h"

TListView::TListView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setItemsExpandable(false);
  setColumnCount(0);
  header()->setStretchLastSection(false);
}

int TListView::AddColumn(const std::string& caption, int width) {
  const int index = columnCount();
  setColumnCount(index + 1);
  QTreeWidgetItem* head = headerItem();
  head->setText(index, ToQString(caption));
  if (width < 0)
    header()->setSectionResizeMode(index, QHeaderView::ResizeToContents);
  else
    setColumnWidth(index, width);
  return index;
}

QTreeWidgetItem* TListView::AddItem(const std::vector<std::string>& texts) {
  auto* item = new QTreeWidgetItem(this);
  for (size_t i = 0; i < texts.size(); ++i) item->setText(static_cast<int>(i), ToQString(texts[i]));
  return item;
}

std::string TListView::ItemText(int row, int column) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  return item ? FromQStringLossy(item->text(column)) : std::string();
}
