#pragma once
// The Code Group tab's tree view. Each node carries one code record and owns it; dragging
// reports the node under the pointer and, when the drag ends, whether it ended on the tree.

#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <functional>
#include <memory>

#include "CodeNode.h"

struct CodeTreeItem : public QTreeWidgetItem {
  explicit CodeTreeItem(std::unique_ptr<TNode> r);
  // Null only while a drag move hands the record over to the node that replaces this one.
  std::unique_ptr<TNode> record;
};

class TCodeTreeView : public QTreeWidget {
  Q_OBJECT
 public:
  explicit TCodeTreeView(QWidget* parent = nullptr);

  static CodeTreeItem* nodeOf(QTreeWidgetItem* item) { return static_cast<CodeTreeItem*>(item); }
  CodeTreeItem* selectedNode() const;

  std::function<void()> onClick;                       // a node clicked
  std::function<void(CodeTreeItem*)> onDragOver;       // node under the pointer, or null
  std::function<void(bool droppedOnTree)> onEndDrag;

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void startDrag(Qt::DropActions supportedActions) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dropEvent(QDropEvent* e) override;

 private:
  bool Dragging = false;
  bool DroppedOnTree = false;
};
