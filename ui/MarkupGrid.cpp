#include "ui/MarkupGrid.h"

#include <QHeaderView>
#include <QPainter>

#include "ui/uGridDraw.h"

namespace {
constexpr int kMarkupRole = Qt::UserRole + 1;
}

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

void TMarkupDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  DrawMarkupCell(*painter, grid_, index.column(), index.row(), grid_.Images(), option.rect);
  if (option.state & QStyle::State_Selected) {
    painter->save();
    QPen pen(grid_.palette().color(QPalette::Text), 1, Qt::DotLine);
    painter->setPen(pen);
    painter->setBrush(Qt::NoBrush);
    painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
    painter->restore();
  }
}
