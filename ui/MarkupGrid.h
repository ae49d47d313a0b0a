#pragma once
// A grid whose cells are drawn from cell markup. Each cell keeps a plain text (used as
// a hint or a marker, never drawn) and the index of its markup in the markup table.

#include <string>

#include <QStyledItemDelegate>
#include <QTableWidget>

class TImageList;

class TMarkupGrid : public QTableWidget {
  Q_OBJECT

public:
  explicit TMarkupGrid(QWidget* parent = nullptr);

  // -1 (draws nothing) for a cell that never got markup.
  int CellMarkup(int column, int row) const;
  void SetCellMarkup(int column, int row, int markupIndex);
  QString CellText(int column, int row) const;
  void SetCellText(int column, int row, const QString& text);

  // Icons for image tags; null skips them. The list must outlive the grid.
  const TImageList* Images() const { return images_; }
  void SetImages(const TImageList* images) { images_ = images; }

private:
  QTableWidgetItem& ItemAt(int column, int row);

  const TImageList* images_ = nullptr;
};

// Paints every cell through DrawMarkupCell; selection shows as a dotted frame, since
// the markup covers the whole cell.
class TMarkupDelegate : public QStyledItemDelegate {
  Q_OBJECT

public:
  explicit TMarkupDelegate(TMarkupGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

private:
  TMarkupGrid& grid_;
};
