#pragma once
// The code tree's groups as presets a client can run by name: in the bridge read from the
// code group file, in the console handed over by the Code Group tab whenever its tree changes.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

namespace routing {
struct Snapshot;
}

namespace engine {

struct Preset {
  QString id;    // from its name and codes (set() fills it when empty): the same while the
                 // group is unchanged, wherever it moves; copies of a group get "-2", "-3" and on
  QString name;  // "User: Group", as the tree shows it
  QList<QByteArray> codes;  // the code items' commands, in tree order
  bool operator==(const Preset& o) const { return id == o.id && name == o.name && codes == o.codes; }
};

class Presets : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  const QList<Preset>& all() const { return list; }
  const Preset* find(const QString& id) const;
  // The first of that name (names may repeat; ids do not).
  const Preset* findByName(const QString& name) const;
  // Presets without an id get one from their name and codes.
  void set(QList<Preset> presets);
  // Reads a code group file; empty on success, else why not (the presets then stay as they were).
  QString load(const QString& path);
  // Adds the snapshot's group at the end of the code group file (made with the default root
  // when there is none) and reads the file again; empty on success, else why not.
  QString appendToFile(const QString& path, const routing::Snapshot& snapshot);

 signals:
  void changed();

 private:
  QList<Preset> list;
};

}  // namespace engine
