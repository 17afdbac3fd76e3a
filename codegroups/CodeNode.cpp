#include "CodeNode.h"

#include <utility>

TNode::TNode(std::int32_t t, std::string u, std::string d)
    : type(t), user(std::move(u)), description(std::move(d)) {}

TNode::~TNode() = default;

void TNode::Show(CodeTreeHost& host) { host.ShowNames(user, description); }

void TNode::Edit(CodeTreeHost& host) { host.UnlockNames(); }

bool TNode::Execute(CodeTreeHost& host) {
  CodeTreeItem* self = host.CurrentNodeOf();
  if (!self) return true;
  if (host.ChildCount(self) == 0) return true;
  // The count is read again each time: a send may show a box, and the tree is left as it is
  // only because that box is modal.
  for (int i = 0; i < host.ChildCount(self); ++i) {
    CodeTreeItem* child = host.ChildAt(self, i);
    host.SetCurrentNode(child);
    TNode* r = host.RecordOf(child);
    if (r && !r->Execute(host)) {
      host.SetCurrentNode(self);
      return false;
    }
  }
  host.SetCurrentNode(self);
  return true;
}

void TNode::Delete(CodeTreeHost&) {}

void TNode::Adopt(CodeTreeHost& host, CodeTreeItem* node) {
  if (!node) return;
  host.SetCurrentNode(node);
  host.SelectNode(node);
  TNode* r = host.RecordOf(node);
  r->Show(host);
  r->Edit(host);
}

void TNode::DeleteCurrent(CodeTreeHost& host) {
  CodeTreeItem* node = host.CurrentNodeOf();
  if (!node) return;
  CodeTreeItem* next = host.DeleteNode(node);
  host.SetCurrentNode(next);
  if (next) host.RecordOf(next)->Show(host);
}

TRootNode::TRootNode(std::string u, std::string d) : TNode(kRoot, std::move(u), std::move(d)) {}

void TRootNode::Show(CodeTreeHost& host) {
  TNode::Show(host);
  host.ShowKind("Root", {}, "Add Group", false);
}

void TRootNode::Add(CodeTreeHost& host) {
  CodeTreeItem* root = host.RootNodeOf();
  if (!root) return;
  Adopt(host, host.AddLastChild(root, std::make_unique<TGroupNode>(codetree::kNewUser,
                                                                   codetree::kGroupDescription)));
}

TGroupNode::TGroupNode(std::string u, std::string d) : TNode(kGroup, std::move(u), std::move(d)) {}

void TGroupNode::Show(CodeTreeHost& host) {
  TNode::Show(host);
  host.ShowKind("Code Group", {}, "Add CodeItem", true);
}

void TGroupNode::Add(CodeTreeHost& host) {
  CodeTreeItem* group = host.CurrentNodeOf();
  if (!group) return;
  Adopt(host, host.AddLastChild(group, std::make_unique<TCodeNode>(codetree::kNewUser,
                                                                   codetree::kCodeDescription)));
}

void TGroupNode::Delete(CodeTreeHost& host) { DeleteCurrent(host); }

TCodeNode::TCodeNode(std::string u, std::string d) : TNode(kCode, std::move(u), std::move(d)) {}

void TCodeNode::Show(CodeTreeHost& host) {
  TNode::Show(host);
  host.ShowKind("Code Item", code, "Add CodeItem", true);
}

void TCodeNode::Edit(CodeTreeHost& host) {
  TNode::Edit(host);
  host.UnlockCode();
}

bool TCodeNode::Execute(CodeTreeHost& host) { return host.SendCodeText(code); }

void TCodeNode::Add(CodeTreeHost& host) {
  // At the end of this item's group, not right after the item.
  CodeTreeItem* item = host.CurrentNodeOf();
  CodeTreeItem* group = item ? host.ParentOf(item) : nullptr;
  if (!group) return;
  Adopt(host, host.AddLastChild(group, std::make_unique<TCodeNode>(codetree::kNewUser,
                                                                   codetree::kCodeDescription)));
}

void TCodeNode::Delete(CodeTreeHost& host) { DeleteCurrent(host); }

std::string DisplayText(const TNode& record) {
  std::string s;
  s.reserve(record.user.size() + 2 + record.description.size());
  s += record.user;
  s += ": ";
  s += record.description;
  return s;
}
