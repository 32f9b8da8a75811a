// TXListView: the report list of the summary and of the conversion list editor: rows of columns
// under a header, no tree decoration, whole rows selected, and grid lines between rows and columns
// when asked for.
#pragma once

#include <QTreeWidget>

class TXListView : public QTreeWidget {
 public:
  explicit TXListView(QWidget* parent = nullptr);

  // Lines under every row and at the right edge of every column, in the colour a table's grid has.
  bool GridLines() const { return FGridLines; }
  void SetGridLines(bool on);
  // The colour of the grid lines: the style's colour for a table's grid.
  QColor GridColor() const;

 protected:
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

 private:
  bool FGridLines = false;
};
