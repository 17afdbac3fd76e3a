// Fuzz target for the names' CSV import: any bytes over a set of names. Every name taken is
// one the operator could have typed, nothing else changes, and the export reads back to the
// same names with no row skipped (and exports the same bytes again).

#include <cstdio>
#include <cstdlib>

#include "Names.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  names::Names n;
  n.set(names::Kind::Input, 1, QStringLiteral("Camera 1"));
  n.set(names::Kind::Output, 256, QStringLiteral("Projector, \"left\""));
  const names::CsvImport result =
      n.importCsv(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
  Check(result.imported >= 0, "imported count");
  for (names::Kind kind : {names::Kind::Input, names::Kind::Output})
    for (int k = 1; k <= names::kMaxNumber; ++k) {
      const QString name = n.name(kind, k);
      Check(names::Problem(name).isEmpty(), "a name the operator could not type was taken");
      Check(name == name.trimmed(), "a name kept its blanks");
    }
  Check(n.name(names::Kind::Input, 0).isEmpty() && n.name(names::Kind::Output, 257).isEmpty(),
        "a number out of range");

  const QByteArray csv = n.toCsv();
  names::Names back;
  const names::CsvImport again = back.importCsv(csv);
  Check(again.skipped.isEmpty(), "the export has a row its import skips");
  Check(back == n, "the export reads back to other names");
  Check(back.toCsv() == csv, "a second export differs");
  return 0;
}
