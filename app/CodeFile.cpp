// The code group file (.cgf): writing the tree through CodeDoc, reading it back, the Open,
// Save and New buttons, and Switch.ini, which remembers the file last used.
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "CodeFileValues.h"
#include "CodeTreeView.h"
#include "Ini.h"
#include "MarkupDoc.h"
#include "Prompts.h"
#include "Unit1.h"

namespace {

constexpr char kSwitchIni[] = "Switch.ini";
constexpr char kSection[] = "CodeFile";
constexpr char kKey[] = "Dir";
// The whole of any path the platform can open (older files kept at most 599 bytes).
constexpr int kPathBufferSize = PATH_MAX;
constexpr char kFilter[] = "Code Group File (*.cgf)";
constexpr char kSuffix[] = "cgf";
constexpr char kSaveQuestion[] = "Save changes of Code Tree to *.cgf ?";

std::string encodePath(const QString& path) { return QFile::encodeName(path).toStdString(); }

platform::FileDialog codeFileDialog(QWidget* owner, const char* caption, const QString& last) {
  platform::FileDialog d;
  d.owner = owner;
  d.caption = caption;
  d.directory = last.isEmpty() ? QString() : QFileInfo(last).absolutePath();
  d.filter = kFilter;
  d.defaultSuffix = kSuffix;
  return d;
}

}  // namespace

QString TMainForm::StoredCodeFilePath() const {
  return QFile::decodeName(
      platform::GetPrivateProfileString(kSection, kKey, "", kPathBufferSize, kSwitchIni));
}

void TMainForm::BuildDefaultCodeTree() {
  auto* root = new CodeTreeItem(
      std::make_unique<TRootNode>(codetree::kRootUser, codetree::kRootDescription));
  auto* group = new CodeTreeItem(
      std::make_unique<TGroupNode>(codetree::kNewUser, codetree::kGroupDescription));
  auto* item = new CodeTreeItem(
      std::make_unique<TCodeNode>(codetree::kNewUser, codetree::kCodeDescription));
  group->addChild(item);
  root->addChild(group);
  TreeView1->insertTopLevelItem(0, root);
  RootNode = root;
  CurrentNode = item;
}

QString TMainForm::ReadCodeFile(const QString& path) {
  if (CodeDoc->LoadFile(encodePath(path)) && CodeDoc->FindSibling("CodeTree")) return {};
  return UnreadableReason(path, *CodeDoc);
}

QString TMainForm::LoadCodeTree(const QString& path) {
  const QString failure = ReadCodeFile(path);
  // Nothing may point into the nodes that go now.
  ClearCodeTree();
  if (!failure.isEmpty()) {
    BuildDefaultCodeTree();
    TreeView1->expandAll();
    return failure;
  }
  BuildCodeTreeFromDoc();
  return {};
}

void TMainForm::BuildCodeTreeFromDoc() {
  const ValueReader value(*CodeDoc);
  // Built apart from the view and shown in one step: one model change instead of one a node.
  auto* root = new CodeTreeItem(std::make_unique<TRootNode>(value(0), value(1)));
  CodeDoc->EnterElement();
  CodeTreeItem* group = nullptr;
  QList<QTreeWidgetItem*> groups;
  QList<QTreeWidgetItem*> items;
  auto closeGroup = [&] {
    if (group) group->addChildren(items);
    items.clear();
  };
  while (CodeDoc->FindSibling()) {
    const std::string type = value(0);
    if (type == "2") {
      closeGroup();
      group = new CodeTreeItem(std::make_unique<TGroupNode>(value(1), value(2)));
      groups.append(group);
    } else if (type == "3") {
      // An item before the first group has no group to go to.
      if (!group) continue;
      auto record = std::make_unique<TCodeNode>(value(1), value(2));
      record->code = value(3);
      items.append(new CodeTreeItem(std::move(record)));
    }
  }
  closeGroup();
  root->addChildren(groups);
  TreeView1->insertTopLevelItem(0, root);
  RootNode = root;
  // The group read last, as a later code item would join it; the root when there is none.
  CurrentNode = group ? group : root;
  TreeView1->expandAll();
  // Shown and selected, so that the panel never goes on showing a node of the old tree.
  CodeHost->SelectNode(CurrentNode);
}

bool TMainForm::SaveCodeTree(const QString& path) {
  CodeDoc->AssignText("");
  if (!RootNode) return false;
  const TNode& root = *RootNode->record;
  CodeDoc->AppendElement("CodeTree");
  CodeDoc->WriteAttribute("User", root.user);
  CodeDoc->WriteAttribute("Description", root.description);
  CodeDoc->EnterElement();
  // Depth first below the root, by position: a walk by node would search for each one.
  int n = 0;
  std::vector<std::pair<QTreeWidgetItem*, int>> stack{{RootNode, 0}};
  while (!stack.empty()) {
    auto& [parent, next] = stack.back();
    if (next >= parent->childCount()) {
      stack.pop_back();
      continue;
    }
    QTreeWidgetItem* node = parent->child(next++);
    const TNode& r = *TCodeTreeView::nodeOf(node)->record;
    CodeDoc->AppendElement(std::to_string(n++));
    CodeDoc->WriteAttribute("Type", r.type);
    CodeDoc->WriteAttribute("User", r.user);
    CodeDoc->WriteAttribute("Description", r.description);
    CodeDoc->WriteAttribute("Code", r.code);
    if (node->childCount() > 0) stack.emplace_back(node, 0);
  }
  errno = 0;
  return CodeDoc->SaveFile(encodePath(path));
}

bool TMainForm::SaveCodeTreeAs() {
  const QString name =
      platform::prompts().saveFileName(codeFileDialog(this, "Save As", CodeFileName));
  if (name.isEmpty()) return false;
  CodeFileName = name;
  if (!SaveCodeTree(name)) {
    const int error = errno;
    const QFileInfo info(name);
    QString reason = QString::fromLocal8Bit(std::strerror(error));
    if (info.isDir())
      reason = QString::fromLocal8Bit(std::strerror(EISDIR));
    else if (error == 0)
      reason = info.exists() ? QStringLiteral("Not a regular file") : QStringLiteral("Unknown error");
    platform::showMessage(this, QStringLiteral("Cannot save the code tree to %1: %2.").arg(name, reason),
                          "Error", platform::Icon::Stop);
    return false;
  }
  CodeTreeChanged = 0;
  platform::WritePrivateProfileString(kSection, kKey, QFile::encodeName(name), kSwitchIni);
  return true;
}

void TMainForm::Button44Click() { SaveCodeTreeAs(); }

bool TMainForm::AskToSaveCodeTree(bool withCancel) {
  if (CodeTreeChanged != 1) return true;
  const platform::Answer a =
      platform::showMessage(this, kSaveQuestion, "Save", platform::Icon::None,
                            withCancel ? platform::Buttons::YesNoCancel : platform::Buttons::YesNo);
  if (a == platform::Answer::Yes) return SaveCodeTreeAs();
  if (a == platform::Answer::No) {
    CodeTreeChanged = 0;
    return true;
  }
  return false;
}

void TMainForm::Button2Click() {
  const std::uint8_t changedBefore = CodeTreeChanged;
  if (!AskToSaveCodeTree(true)) return;
  const QString name =
      platform::prompts().openFileName(codeFileDialog(this, "Open", CodeFileName));
  if (name.isEmpty()) return;
  // A file that cannot be read leaves the tree, its edits, Switch.ini and the name the next
  // Save offers alone: showing the default tree, or offering that name, would invite saving
  // over the file.
  const QString failure = ReadCodeFile(name);
  if (!failure.isEmpty()) {
    CodeTreeChanged = changedBefore;
    platform::showMessage(this, QStringLiteral("Cannot open the code group file %1: %2.").arg(name, failure),
                          "Error", platform::Icon::Stop);
    return;
  }
  CodeFileName = name;
  ClearCodeTree();
  BuildCodeTreeFromDoc();
  platform::WritePrivateProfileString(kSection, kKey, QFile::encodeName(name), kSwitchIni);
}

void TMainForm::Button50Click() {
  if (!AskToSaveCodeTree(true)) return;
  ClearCodeTree();
  BuildDefaultCodeTree();
  CodeHost->SelectNode(CurrentNode);
  CurrentNode->record->Show(*CodeHost);
  CurrentNode->record->Edit(*CodeHost);
  TreeView1->expandAll();
}
