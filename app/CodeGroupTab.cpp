// The Code Group tab: the code tree, its edit panel and buttons, and the handlers that call
// the node records' operations.
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QWidget>

#include "CodeTreeView.h"
#include "Memo.h"
#include "SessionLogLink.h"
#include "Unit1.h"
#include "Widgets.h"

namespace {

constexpr std::uint32_t kReplyToCodeGroupTab = 4;

std::string utf8(const QString& s) { return s.toStdString(); }
QString fromUtf8(const std::string& s) { return QString::fromStdString(s); }

// The records' view of the main window.
class CodeGroupHost final : public CodeTreeHost {
 public:
  explicit CodeGroupHost(TMainForm& form) : f(form) {}

  CodeTreeItem* RootNodeOf() const override { return f.RootNode; }
  CodeTreeItem* CurrentNodeOf() const override { return f.CurrentNode; }
  void SetCurrentNode(CodeTreeItem* node) override { f.CurrentNode = node; }
  int ChildCount(CodeTreeItem* node) const override { return node ? node->childCount() : 0; }
  CodeTreeItem* ChildAt(CodeTreeItem* node, int index) const override {
    return node ? TCodeTreeView::nodeOf(node->child(index)) : nullptr;
  }
  CodeTreeItem* ParentOf(CodeTreeItem* node) const override {
    return node ? TCodeTreeView::nodeOf(node->parent()) : nullptr;
  }
  TNode* RecordOf(CodeTreeItem* node) const override { return node ? node->record.get() : nullptr; }

  CodeTreeItem* AddLastChild(CodeTreeItem* parent, std::unique_ptr<TNode> record) override {
    auto* node = new CodeTreeItem(std::move(record));
    parent->addChild(node);
    return node;
  }

  CodeTreeItem* DeleteNode(CodeTreeItem* node) override {
    if (Shown && (Shown == node || IsBelow(Shown, node))) Shown = nullptr;
    // The node selected next: the following sibling, else the one before, else the parent.
    QTreeWidgetItem* parent = node->parent();
    QTreeWidgetItem* next = nullptr;
    if (parent) {
      const int at = parent->indexOfChild(node);
      next = at + 1 < parent->childCount() ? parent->child(at + 1)
             : at > 0                      ? parent->child(at - 1)
                                           : parent;
    }
    if (f.RootNode == node) f.RootNode = nullptr;
    {
      // The selection changes while the node is half destroyed; its handler must not run.
      const QSignalBlocker quiet(f.TreeView1);
      delete node;
    }
    CodeTreeItem* chosen = TCodeTreeView::nodeOf(next);
    SelectNode(chosen);
    return chosen;
  }

  void SelectNode(CodeTreeItem* node) override {
    if (!node) {
      f.TreeView1->clearSelection();
      return;
    }
    f.TreeView1->setCurrentItem(node);
    f.TreeView1->scrollToItem(node);
  }

  void ShowNames(const std::string& user, const std::string& description) override {
    // Records show themselves as the current node; from here on the fields write into it.
    Shown = f.CurrentNode;
    f.Edit3->setText(fromUtf8(user));
    f.Edit3->setReadOnly(true);
    f.Edit4->setText(fromUtf8(description));
    f.Edit4->setReadOnly(true);
    f.Edit5->setReadOnly(true);
  }

  void ShowKind(const char* caption, const std::string& code, const char* addCaption,
                bool deleteEnabled) override {
    f.GroupBox6->setTitle(QString::fromLatin1(caption));
    f.Edit5->setText(fromUtf8(code));
    f.Button9->setText(QString::fromLatin1(addCaption));
    f.Button11->setEnabled(deleteEnabled);
  }

  void UnlockNames() override {
    f.Edit3->setReadOnly(false);
    f.Edit3->setFocus();
    f.Edit3->selectAll();
    f.Edit4->setReadOnly(false);
  }

  void UnlockCode() override { f.Edit5->setReadOnly(false); }

  bool SendCodeText(const std::string& code) override {
    // With [Link] Pace set, the run's commands wait in the send queue.
    return PacedSend(f, QByteArray::fromStdString(code), kReplyToCodeGroupTab);
  }

  // The node whose values the edit panel shows: the one node its fields may write into.
  CodeTreeItem* Shown = nullptr;

 private:
  static bool IsBelow(const QTreeWidgetItem* node, const QTreeWidgetItem* ancestor) {
    for (const QTreeWidgetItem* p = node->parent(); p; p = p->parent())
      if (p == ancestor) return true;
    return false;
  }

  TMainForm& f;
};

QLineEdit* editBox(const char* name, const QString& text, QWidget* parent, QRect place) {
  auto* e = new QLineEdit(parent);
  unlimitedLength(e);
  e->setText(text);
  e->setObjectName(name);
  e->setGeometry(place);
  e->setReadOnly(true);
  return e;
}

}  // namespace

QWidget* TMainForm::BuildCodeGroupTab() {
  dxTabSheet4 = new QWidget;
  dxTabSheet4->setObjectName("dxTabSheet4");
  QWidget* page = dxTabSheet4;
  CodeHost = std::make_unique<CodeGroupHost>(*this);

  TreeView1 = new TCodeTreeView(page);
  TreeView1->setObjectName("TreeView1");
  TreeView1->setGeometry(8, 8, 145, 217);
  TreeView1->onClick = [this] { TreeView1Click(); };
  // Any button, key, drag or load that changes the selection shows the new node, so the
  // panel never shows one node while its fields would write into another.
  connect(TreeView1, &QTreeWidget::itemSelectionChanged, this, &TMainForm::TreeView1Click);
  TreeView1->onDragOver = [this](CodeTreeItem* under) { TreeView1DragOver(under); };
  TreeView1->onEndDrag = [this](bool dropped) { TreeView1EndDrag(dropped); };

  GroupBox6 = new QGroupBox("Edit", page);
  GroupBox6->setObjectName("GroupBox6");
  GroupBox6->setGeometry(160, 2, 145, 223);
  Label3 = fixedLabel("Label3", QStringLiteral("User："), GroupBox6, QPoint(8, 16));
  Edit3 = editBox("Edit3", "xxx", GroupBox6, QRect(8, 32, 129, 22));
  Label4 = fixedLabel("Label4", QStringLiteral("Description："), GroupBox6, QPoint(8, 58));
  Edit4 = editBox("Edit4", "Switch 1*8", GroupBox6, QRect(8, 74, 129, 22));
  Label5 = fixedLabel("Label5", QStringLiteral("Code："), GroupBox6, QPoint(8, 100));
  Edit5 = editBox("Edit5", "1*8", GroupBox6, QRect(8, 116, 129, 22));
  Button9 = BuildImageButton("Button9", "Add", GroupBox6, QRect(8, 148, 129, 26));
  Button10 = BuildImageButton("Button10", "Edit", GroupBox6, QRect(8, 184, 62, 26));
  Button11 = BuildImageButton("Button11", "Delete", GroupBox6, QRect(75, 184, 62, 26));
  setTag(Button10, 0);

  Button50 = BuildImageButton("Button50", " New", page, QRect(8, 232, 70, 26));
  Button2 = BuildImageButton("Button2", " Open", page, QRect(83, 232, 70, 26));
  Button44 = BuildImageButton("Button44", " Save", page, QRect(160, 232, 70, 26));
  Button12 = BuildImageButton("Button12", " Execute", page, QRect(235, 232, 70, 26));

  Memo4 = BuildFeedbackMemo("Memo4", page, QRect(8, 266, 297, 144));
  Button13 = BuildImageButton("Button13", "Clear", page, QRect(112, 414, 85, 24));

  connect(Button9, &QPushButton::clicked, this, &TMainForm::Button9Click);
  connect(Button10, &QPushButton::clicked, this, &TMainForm::Button10Click);
  connect(Button11, &QPushButton::clicked, this, &TMainForm::Button11Click);
  connect(Button12, &QPushButton::clicked, this, &TMainForm::Button12Click);
  connect(Button50, &QPushButton::clicked, this, &TMainForm::Button50Click);
  connect(Button2, &QPushButton::clicked, this, &TMainForm::Button2Click);
  connect(Button44, &QPushButton::clicked, this, &TMainForm::Button44Click);
  connect(Button13, &QPushButton::clicked, this, &TMainForm::Button13Click);
  // Setting a field's text, by typing or by Show, runs its handler only on a real change.
  connect(Edit3, &QLineEdit::textChanged, this, &TMainForm::Edit3Change);
  connect(Edit4, &QLineEdit::textChanged, this, &TMainForm::Edit4Change);
  connect(Edit5, &QLineEdit::textChanged, this, &TMainForm::Edit5Change);
  nameFor(TreeView1, "Code tree");
  nameFor(Edit3, "User");
  nameFor(Edit4, "Description");
  nameFor(Edit5, "Code");
  Label3->setBuddy(Edit3);
  Label4->setBuddy(Edit4);
  Label5->setBuddy(Edit5);
  // The buttons' captions start with a blank that a reader would not say.
  nameFor(Button50, "New", "Starts a new code tree");
  nameFor(Button2, "Open", "Opens a code group file");
  nameFor(Button44, "Save", "Saves the code tree to a file");
  nameFor(Button12, "Execute", "Sends the selected code");
  nameFor(Memo4, "Code Group feedback");
  nameFor(Button13, "Clear", "Clears the Code Group feedback");
  chainTabOrder({TreeView1, Edit3, Edit4, Edit5, Button9, Button10, Button11, Button50, Button2, Button44,
                 Button12, Memo4, Button13});
  return page;
}

void TMainForm::TreeView1Click() {
  CodeTreeItem* node = TreeView1->selectedNode();
  if (!node) return;
  CurrentNode = node;
  CurrentNode->record->Show(*CodeHost);
}

namespace {
CodeTreeItem*& ShownNode(CodeTreeHost& host) { return static_cast<CodeGroupHost&>(host).Shown; }
}  // namespace

void TMainForm::ClearCodeTree() {
  CurrentNode = nullptr;
  RootNode = nullptr;
  ShownNode(*CodeHost) = nullptr;
  const QSignalBlocker quiet(TreeView1);
  TreeView1->clear();
}

void TMainForm::Button9Click() {
  CurrentNode = TreeView1->selectedNode();
  if (!CurrentNode) return;
  CurrentNode->record->Add(*CodeHost);
  CodeTreeChanged = 1;
}

void TMainForm::Button10Click() {
  CurrentNode = TreeView1->selectedNode();
  if (!CurrentNode) return;
  if (tagOf(Button10) == 0) {
    CurrentNode->record->Edit(*CodeHost);
    setTag(Button10, 1);
  } else {
    Edit3->setReadOnly(true);
    Edit4->setReadOnly(true);
    Edit5->setReadOnly(true);
    setTag(Button10, 0);
  }
}

void TMainForm::Button11Click() {
  CurrentNode = TreeView1->selectedNode();
  if (!CurrentNode) return;
  CurrentNode->record->Delete(*CodeHost);
  CodeTreeChanged = 1;
}

void TMainForm::Button12Click() {
  CurrentNode = TreeView1->selectedNode();
  if (!CurrentNode) return;
  Busy = 1;
  CurrentNode->record->Execute(*CodeHost);
  // A paced run keeps Busy until its queue is empty.
  if (PacedBacklog(*this) == 0) Busy = 0;
}

namespace {
// Writes a field back into the selected node's record; true when the record changed.
bool writeBack(std::string& field, const QString& text) {
  std::string value = utf8(text);
  if (value == field) return false;
  field = std::move(value);
  return true;
}
}  // namespace

void TMainForm::Edit3Change() {
  CodeTreeItem* node = ShownNode(*CodeHost);
  if (!node) return;
  if (writeBack(node->record->user, Edit3->text())) {
    node->setText(0, fromUtf8(DisplayText(*node->record)));
    CodeTreeChanged = 1;
  }
  CurrentNode = node;
}

void TMainForm::Edit4Change() {
  CodeTreeItem* node = ShownNode(*CodeHost);
  if (!node) return;
  if (writeBack(node->record->description, Edit4->text())) {
    node->setText(0, fromUtf8(DisplayText(*node->record)));
    CodeTreeChanged = 1;
  }
  CurrentNode = node;
}

void TMainForm::Edit5Change() {
  CodeTreeItem* node = ShownNode(*CodeHost);
  // Only a code item has a code: a group or the root with one would save a Code attribute.
  if (!node || node->record->type != TNode::kCode) return;
  if (writeBack(node->record->code, Edit5->text())) CodeTreeChanged = 1;
}

void TMainForm::TreeView1DragOver(CodeTreeItem* under) { CurrentNode = under; }

void TMainForm::TreeView1EndDrag(bool droppedOnTree) {
  CodeTreeItem* dragged = TreeView1->selectedNode();
  if (!droppedOnTree || !dragged || dragged->record->type != TNode::kCode) return;
  CodeTreeItem* target = CurrentNode;
  if (!target) return;
  const std::int32_t targetType = target->record->type;
  if (targetType != TNode::kGroup && targetType != TNode::kCode) return;

  auto* moved = new CodeTreeItem(std::move(dragged->record));
  {
    // The selection shifts while the dragged node no longer has a record.
    const QSignalBlocker quiet(TreeView1);
    if (targetType == TNode::kGroup) {
      target->addChild(moved);
    } else {
      QTreeWidgetItem* group = target->parent();
      group->insertChild(group->indexOfChild(target), moved);
    }
    if (ShownNode(*CodeHost) == dragged) ShownNode(*CodeHost) = nullptr;
    delete dragged;
  }
  // The selection follows the item, and the panel shows it.
  CurrentNode = moved;
  CodeHost->SelectNode(moved);
  CodeTreeChanged = 1;
}
