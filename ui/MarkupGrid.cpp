#include "ui/MarkupGrid.h"

#include <algorithm>

#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>

#include "ui/uGridDraw.h"

namespace {
constexpr int kMarkupRole = Qt::UserRole + 1;
const QColor kSelectionWash(255, 255, 255, 56);
const QColor kSelectionFrame(0xc7, 0xcd, 0xd4);
}  // namespace

TMarkupGrid::TMarkupGrid(QWidget* parent) : QTableWidget(parent) {
  setItemDelegate(new TMarkupDelegate(*this));
  horizontalHeader()->hide();
  verticalHeader()->hide();
  verticalHeader()->setMinimumSectionSize(1);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  setShowGrid(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
  setWordWrap(false);
}

void TMarkupGrid::updateGeometries() {
  QTableWidget::updateGeometries();
  horizontalScrollBar()->setRange(0, 0);
}

QTableWidgetItem& TMarkupGrid::ItemAt(int column, int row) {
  QTableWidgetItem* cell = item(row, column);
  if (!cell) {
    cell = new QTableWidgetItem();
    cell->setData(kMarkupRole, -1);
    setItem(row, column, cell);
  }
  return *cell;
}

int TMarkupGrid::CellMarkup(int column, int row) const {
  const QTableWidgetItem* cell = item(row, column);
  if (!cell) return -1;
  bool ok = false;
  const int index = cell->data(kMarkupRole).toInt(&ok);
  return ok ? index : -1;
}

void TMarkupGrid::SetCellMarkup(int column, int row, int markupIndex) {
  ItemAt(column, row).setData(kMarkupRole, markupIndex);
}

QString TMarkupGrid::CellText(int column, int row) const {
  const QTableWidgetItem* cell = item(row, column);
  return cell ? cell->data(Qt::DisplayRole).toString() : QString();
}

void TMarkupGrid::SetCellText(int column, int row, const QString& text) {
  ItemAt(column, row).setData(Qt::DisplayRole, text);
}

void DrawMarkupCell(QPainter& canvas, const TMarkupGrid& grid, int column, int row,
                    const TImageList* images, const QRect& rect) {
  if (MarkupCount() == 0) return;
  const TMarkupList* tokens = MarkupEntry(grid.CellMarkup(column, row));
  if (!tokens) return;
  RenderMarkup(canvas, rect, *tokens, row, column, images, grid.MarkupFont());
}

void FitRowHeights(TMarkupGrid& grid) {
  const int lineHeight = QFontMetrics(grid.font()).height();
  static const TMarkupList kEmpty;
  for (int row = 0; row < grid.rowCount(); ++row) {
    int tallest = lineHeight;
    for (int column = 0; column < grid.columnCount(); ++column) {
      const TMarkupList* tokens = MarkupEntry(grid.CellMarkup(column, row));
      tallest = std::max(tallest, MarkupHeight(lineHeight, tokens ? *tokens : kEmpty));
    }
    grid.setRowHeight(row, tallest <= 20 ? 31 : tallest + 10);
  }
}

void TMarkupDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  DrawMarkupCell(*painter, grid_, index.column(), index.row(), grid_.Images(), option.rect);
  if (!(option.state & QStyle::State_Selected)) return;
  const QRect& r = option.rect;
  painter->save();
  painter->fillRect(r, kSelectionWash);
  painter->setPen(kSelectionFrame);
  // The last column runs on under the scroll bar; the frame closes where the view ends.
  const int right = std::min(r.right(), grid_.viewport()->width() - 1);
  painter->drawLine(r.left(), r.top(), right, r.top());
  painter->drawLine(r.left(), r.bottom(), right, r.bottom());
  if (index.column() == 0) painter->drawLine(r.topLeft(), r.bottomLeft());
  if (index.column() == grid_.columnCount() - 1) painter->drawLine(right, r.top(), right, r.bottom());
  painter->restore();
}
