#pragma once
// Operator names of inputs and outputs ("Camera 2", "Projector left"). The switcher keeps
// none; the console stores them in Names.ini (sections Inputs and Outputs, key = number,
// value = UTF-8 name) and trades them as CSV (kind,number,name, RFC 4180).
// No file, or no entry for a number: no name, and every text reads as without names.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace names {

enum class Kind { Input, Output };

constexpr int kMaxNumber = 256;
constexpr int kMaxLength = 64;  // characters (code points)
constexpr char kNamesFile[] = "Names.ini";

// What is wrong with a name the operator typed, as a sentence for a box; empty when it
// may be stored.
QString Problem(const QString& name);

// An entry of the file that load() could not take: written back as it was on every save.
struct KeptEntry {
  Kind kind = Kind::Input;
  QByteArray key;
  QByteArray value;
  QString why;  // "name longer than 64 characters"
  bool operator==(const KeptEntry& o) const {
    return kind == o.kind && key == o.key && value == o.value;
  }
};

struct CsvImport {
  int imported = 0;      // rows taken
  QStringList skipped;   // one "Row n: reason." per row left out, in file order
};

class Names {
 public:
  // The name of input or output number; empty when it has none.
  QString name(Kind kind, int number) const;
  // Stores the name without surrounding blanks; an empty name removes it. Returns
  // Problem(name) and changes nothing when that is not empty, or when number is out of range.
  QString set(Kind kind, int number, const QString& name);
  bool isEmpty() const;
  // Every name that differs between before and after takes after's; the others stay. An edit
  // made on a copy (before) written back over names that others changed meanwhile.
  void takeChanges(const Names& before, const Names& after);
  bool operator==(const Names& o) const {
    return inputs == o.inputs && outputs == o.outputs && kept_ == o.kept_;
  }
  bool operator!=(const Names& o) const { return !(*this == o); }

  // Reads fileName (bare names live in the settings folder). Entries with a bad key or a
  // name Problem() refuses are not shown but kept (kept()); each is described in *warnings
  // when given.
  static Names load(const QString& fileName = QString::fromLatin1(kNamesFile),
                    QStringList* warnings = nullptr);
  // One atomic write of both sections, the kept entries after the names of their section;
  // the rest of the file stays. False on failure.
  bool save(const QString& fileName = QString::fromLatin1(kNamesFile)) const;
  const std::vector<KeptEntry>& kept() const { return kept_; }
  // "input 3 (name longer than 64 characters)", one per kept entry.
  QStringList keptText() const;

  // A header row, then every named input and output in number order, CR LF line ends.
  QByteArray toCsv() const;
  // Takes the good rows of a CSV file over these names (an empty name removes one) and
  // says which rows it skipped and why. A first row "kind,number,name" is the header.
  CsvImport importCsv(const QByteArray& csv);

 private:
  std::array<QString, kMaxNumber + 1>& of(Kind kind) {
    return kind == Kind::Input ? inputs : outputs;
  }
  const std::array<QString, kMaxNumber + 1>& of(Kind kind) const {
    return kind == Kind::Input ? inputs : outputs;
  }

  std::array<QString, kMaxNumber + 1> inputs;   // index = number; 0 unused
  std::array<QString, kMaxNumber + 1> outputs;
  std::vector<KeptEntry> kept_;
};

}  // namespace names
