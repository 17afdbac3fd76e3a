// Presets from the code tree.
#include "Presets.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <utility>

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

void Presets::set(QList<Preset> presets) {
  // Not the group's place: a page that has not heard of an edit elsewhere in the file must not
  // run another group under the id it has, and a group that changed is no longer found.
  QHash<QString, int> seen;
  for (Preset& p : presets) {
    if (!p.id.isEmpty()) continue;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(p.name.toUtf8());
    for (const QByteArray& code : p.codes) hash.addData(QByteArray(1, '\0') + code);
    p.id = QString::fromLatin1(hash.result().left(6).toHex());
    if (const int n = ++seen[p.id]; n > 1) p.id += QLatin1Char('-') + QString::number(n);
  }
  if (presets == list) return;
  list = std::move(presets);
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
