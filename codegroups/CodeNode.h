#pragma once
// The code tree's node records: a root, groups under it, code items under the groups. Each
// record rides on one node of the tree view and drives the edit panel through CodeTreeHost,
// so the records need no widgets. Texts are UTF-8.

#include <cstdint>
#include <memory>
#include <string>

// A node of the tree view; the view defines it and each one owns its record.
struct CodeTreeItem;
class TNode;

// What the records work on: the tree view, the edit panel and the link.
class CodeTreeHost {
 public:
  virtual ~CodeTreeHost() = default;

  // ---- the tree ----
  virtual CodeTreeItem* RootNodeOf() const = 0;
  virtual CodeTreeItem* CurrentNodeOf() const = 0;
  virtual void SetCurrentNode(CodeTreeItem* node) = 0;
  // Children by position: a sibling walk by node would search its parent at every step.
  virtual int ChildCount(CodeTreeItem* node) const = 0;
  virtual CodeTreeItem* ChildAt(CodeTreeItem* node, int index) const = 0;
  virtual CodeTreeItem* ParentOf(CodeTreeItem* node) const = 0;
  virtual TNode* RecordOf(CodeTreeItem* node) const = 0;
  // Adds a node labelled with the record's DisplayText, carrying it, as parent's last child.
  virtual CodeTreeItem* AddLastChild(CodeTreeItem* parent, std::unique_ptr<TNode> record) = 0;
  // Deletes node with its descendants and their records, and selects the node that follows;
  // returns that node (null when the tree has none left).
  virtual CodeTreeItem* DeleteNode(CodeTreeItem* node) = 0;
  virtual void SelectNode(CodeTreeItem* node) = 0;

  // ---- the edit panel ----
  // User and description fields set and made read-only; the code field made read-only.
  virtual void ShowNames(const std::string& user, const std::string& description) = 0;
  // The kind's part: panel caption, code field, Add caption, Delete enabled.
  virtual void ShowKind(const char* caption, const std::string& code, const char* addCaption,
                        bool deleteEnabled) = 0;
  // User (focused, all selected) and description editable.
  virtual void UnlockNames() = 0;
  virtual void UnlockCode() = 0;

  // ---- the link ----
  // Sends one command unchanged, with the replies meant for the Code Group tab; false when
  // the link refused it (the operator has been told).
  virtual bool SendCodeText(const std::string& code) = 0;
};

class TNode {
 public:
  enum Type : std::int32_t { kRoot = 1, kGroup = 2, kCode = 3 };

  TNode(std::int32_t type, std::string user, std::string description);
  virtual ~TNode();
  TNode(const TNode&) = delete;
  TNode& operator=(const TNode&) = delete;

  // Operations on the record of host.CurrentNodeOf(), which is this record's node.
  virtual void Show(CodeTreeHost& host);
  virtual void Edit(CodeTreeHost& host);
  // Executes every child in order, depth first; stops at the first command the link
  // refuses (one box, not one per item) and returns false.
  virtual bool Execute(CodeTreeHost& host);
  virtual void Add(CodeTreeHost& host) = 0;
  virtual void Delete(CodeTreeHost& host);

  std::int32_t type;
  std::string user;
  std::string description;
  std::string code;

 protected:
  // Makes the new node current and selected, and opens it for typing.
  static void Adopt(CodeTreeHost& host, CodeTreeItem* node);
  // Deletes the current node and shows the one the tree selects next.
  static void DeleteCurrent(CodeTreeHost& host);
};

class TRootNode final : public TNode {
 public:
  TRootNode(std::string user, std::string description);
  void Show(CodeTreeHost& host) override;
  void Add(CodeTreeHost& host) override;
};

class TGroupNode final : public TNode {
 public:
  TGroupNode(std::string user, std::string description);
  void Show(CodeTreeHost& host) override;
  void Add(CodeTreeHost& host) override;
  void Delete(CodeTreeHost& host) override;
};

class TCodeNode final : public TNode {
 public:
  TCodeNode(std::string user, std::string description);
  void Show(CodeTreeHost& host) override;
  void Edit(CodeTreeHost& host) override;
  bool Execute(CodeTreeHost& host) override;
  void Add(CodeTreeHost& host) override;
  void Delete(CodeTreeHost& host) override;
};

// The node's label: user, ": ", description.
std::string DisplayText(const TNode& record);

// Texts of the nodes the program makes itself.
namespace codetree {
constexpr char kRootUser[] = "Vantrel";
constexpr char kRootDescription[] = "CodeTree";
constexpr char kNewUser[] = "User";
constexpr char kGroupDescription[] = "Group";
constexpr char kCodeDescription[] = "CodeItem";
}  // namespace codetree
