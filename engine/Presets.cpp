// Presets from the code tree.
#include "Presets.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include "CodeFileValues.h"
#include "CodeNode.h"
#include "MarkupDoc.h"
#include "RoutingSnapshot.h"

namespace engine {

const Preset* Presets::find(const QString& id) const {
  for (const Preset& p : list)
    if (p.id == id) return &p;
  return nullptr;
}

const Preset* Presets::findByName(const QString& name) const {
  for (const Preset& p : list)
    if (p.name == name) return &p;
  return nullptr;
}

void Presets::set(const QList<Preset>& presets) {
  if (presets == list) return;
  list = presets;
  emit changed();
}

QString Presets::load(const QString& path) {
  MarkupDoc doc;
  if (!doc.LoadFile(QFile::encodeName(path).toStdString()) || !doc.FindSibling("CodeTree"))
    return UnreadableReason(path, doc);
  const ValueReader value(doc);
  QList<Preset> read;
  doc.EnterElement();
  while (doc.FindSibling()) {
    const std::string type = value(0);
    if (type == "2") {
      Preset p;
      p.id = QString::number(read.size() + 1);
      p.name = QString::fromStdString(value(1) + ": " + value(2));
      read.append(p);
    } else if (type == "3" && !read.isEmpty()) {
      // An item before the first group has no group to go to, as in the tree.
      const std::string code = value(3);
      if (!code.empty()) read.back().codes.append(QByteArray::fromStdString(code));
    }
  }
  set(read);
  return {};
}

QString Presets::appendToFile(const QString& path, const routing::Snapshot& snapshot) {
  MarkupDoc doc;
  const std::string file = QFile::encodeName(path).toStdString();
  int n = 0;
  if (QFileInfo::exists(path)) {
    if (!doc.LoadFile(file) || !doc.FindSibling("CodeTree")) return UnreadableReason(path, doc);
    doc.EnterElement();
    while (doc.FindSibling()) ++n;
  } else {
    doc.AssignText("");
    doc.AppendElement("CodeTree");
    doc.WriteAttribute("User", codetree::kRootUser);
    doc.WriteAttribute("Description", codetree::kRootDescription);
    doc.EnterElement();
  }
  const std::string user = snapshot.user.toStdString();
  auto node = [&](int type, const QString& description, const QByteArray& code) {
    doc.AppendElement(std::to_string(n++));
    doc.WriteAttribute("Type", type);
    doc.WriteAttribute("User", user);
    doc.WriteAttribute("Description", description.toStdString());
    doc.WriteAttribute("Code", code.toStdString());
  };
  node(TNode::kGroup, snapshot.description, {});
  for (const routing::SnapshotItem& item : snapshot.items) node(TNode::kCode, item.description, item.code);
  errno = 0;
  if (!doc.SaveFile(file)) return QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
  return load(path);
}

}  // namespace engine
