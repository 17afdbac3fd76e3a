#include "CodeTreeView.h"

#include <QDrag>
#include <QHeaderView>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>

namespace {
constexpr char kNodeMime[] = "application/x-switcher-code-node";
constexpr int kIndent = 19;
}  // namespace

CodeTreeItem::CodeTreeItem(std::unique_ptr<TNode> r) : record(std::move(r)) {
  if (record) setText(0, QString::fromStdString(DisplayText(*record)));
}

TCodeTreeView::TCodeTreeView(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(1);
  setHeaderHidden(true);
  // Long labels widen the column and bring a horizontal scroll bar instead of being cut.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  setIndentation(kIndent);
  setRootIsDecorated(true);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(true);
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DragDrop);
  setDropIndicatorShown(false);
  // The selection stays as visible when the operator is typing in the edit panel.
  QPalette pal = palette();
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
    pal.setColor(QPalette::Inactive, role, pal.color(QPalette::Active, role));
  setPalette(pal);
  connect(this, &QTreeWidget::itemClicked, this, [this] {
    if (onClick) onClick();
  });
}

CodeTreeItem* TCodeTreeView::selectedNode() const {
  const QList<QTreeWidgetItem*> s = selectedItems();
  return s.isEmpty() ? nullptr : nodeOf(s.first());
}

void TCodeTreeView::mousePressEvent(QMouseEvent* e) {
  // A press beside the nodes keeps the selection, so the panel keeps showing the node
  // that its fields write to.
  if (!itemAt(e->position().toPoint())) {
    e->accept();
    return;
  }
  QTreeWidget::mousePressEvent(e);
}

void TCodeTreeView::startDrag(Qt::DropActions) {
  if (!selectedNode()) return;
  auto* mime = new QMimeData;
  mime->setData(kNodeMime, QByteArray());
  auto* drag = new QDrag(this);
  drag->setMimeData(mime);
  Dragging = true;
  DroppedOnTree = false;
  drag->exec(Qt::MoveAction);
  Dragging = false;
  setState(NoState);
  if (onEndDrag) onEndDrag(DroppedOnTree);
}

void TCodeTreeView::dragEnterEvent(QDragEnterEvent* e) {
  if (!Dragging || !e->mimeData()->hasFormat(kNodeMime)) {
    e->ignore();
    return;
  }
  setState(DraggingState);
  e->acceptProposedAction();
}

void TCodeTreeView::dragMoveEvent(QDragMoveEvent* e) {
  if (!Dragging) {
    e->ignore();
    return;
  }
  QTreeWidget::dragMoveEvent(e);  // scrolls near the edges
  if (onDragOver) onDragOver(nodeOf(itemAt(e->position().toPoint())));
  e->setDropAction(Qt::MoveAction);
  e->accept();
}

void TCodeTreeView::dropEvent(QDropEvent* e) {
  if (!Dragging) {
    e->ignore();
    return;
  }
  // The move itself is the main window's: the view never moves nodes on its own.
  if (onDragOver) onDragOver(nodeOf(itemAt(e->position().toPoint())));
  DroppedOnTree = true;
  stopAutoScroll();
  setState(NoState);
  e->setDropAction(Qt::MoveAction);
  e->accept();
}
