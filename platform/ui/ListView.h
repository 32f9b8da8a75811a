// A list view in report style over QTreeWidget: columns with captions, one row per item, the
// item's caption in the first column and its sub-items in the next ones. Texts are Windows-1251.
#pragma once

#include <QTreeWidget>
#include <string>
#include <vector>

class TListView : public QTreeWidget {
 public:
  explicit TListView(QWidget* parent = nullptr);

  // Adds a column; a width below 0 sizes the column to its contents. Returns its index.
  int AddColumn(const std::string& caption, int width);
  // Adds a row: the caption, then the sub-items. Returns the new item.
  QTreeWidgetItem* AddItem(const std::vector<std::string>& texts);
  int Count() const { return topLevelItemCount(); }
  // The text of a row's column (0: the caption); empty beyond the row's texts.
  std::string ItemText(int row, int column) const;
};
