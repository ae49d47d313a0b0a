#pragma once
// A grid whose cells are drawn from cell markup. Each cell keeps a plain text (used as
// a hint or a marker, never drawn) and the index of its markup in the markup table.

#include <string>

#include <QStyledItemDelegate>
#include <QTableWidget>

#include "ui/uGridDraw.h"

class TMarkupGrid : public QTableWidget {
  Q_OBJECT

public:
  explicit TMarkupGrid(QWidget* parent = nullptr);

  // -1 (draws nothing) for a cell that never got markup.
  int CellMarkup(int column, int row) const;
  void SetCellMarkup(int column, int row, int markupIndex);
  QString CellText(int column, int row) const;
  void SetCellText(int column, int row, const QString& text);

  // The font a cell's markup starts from.
  TCellFont MarkupFont() const { return {font(), palette().color(QPalette::Text)}; }

  // Icons for image tags; null skips them. The list must outlive the grid.
  const TImageList* Images() const { return images_; }
  void SetImages(const TImageList* images) { images_ = images; }

protected:
  // The columns are a little wider than the view beside the vertical scroll bar, so
  // Qt would scroll sideways to show a clicked cell whole and cut the icons in half.
  // The grid has no sideways scrolling at all.
  void updateGeometries() override;

private:
  QTableWidgetItem& ItemAt(int column, int row);

  const TImageList* images_ = nullptr;
};

// Paints one grid cell from the markup index stored in it, starting from the grid's font.
void DrawMarkupCell(QPainter& canvas, const TMarkupGrid& grid, int column, int row,
                    const TImageList* images, const QRect& rect);
// 31 pixels for rows of at most 20 pixels of text, text height + 10 above that.
void FitRowHeights(TMarkupGrid& grid);

// Paints every cell through DrawMarkupCell. The markup fills the whole cell, so the
// selected row is shown on top of it: a light wash and a frame around the whole row.
class TMarkupDelegate : public QStyledItemDelegate {
  Q_OBJECT

public:
  explicit TMarkupDelegate(TMarkupGrid& grid) : QStyledItemDelegate(&grid), grid_(grid) {}
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

private:
  TMarkupGrid& grid_;
};
