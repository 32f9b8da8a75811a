// TXListView: the report list of the summary and of the conversion list editor: rows of columns
// under a header, no tree decoration, whole rows selected.
#pragma once

#include <QTreeWidget>

class TXListView : public QTreeWidget {
 public:
  explicit TXListView(QWidget* parent = nullptr);
};
