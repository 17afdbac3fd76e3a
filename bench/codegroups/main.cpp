// Benchmark of the code tree on the real main window: a 100,000-item code group file loaded
// into the tree view (LoadCodeTree, shown and painted) and saved from it (SaveCodeTree), and
// the heap the loaded tree takes against the file's size.
// Goals: load and save each under one second; memory under 10 times the file's size.
// Usage: bench_codegroups [items]   (runs headless; needs no display)
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <malloc.h>

#include "CodeTreeView.h"
#include "Unit1.h"

namespace {
constexpr int kDefaultItems = 100000;
constexpr int kItemsPerGroup = 100;
constexpr int kRuns = 5;
constexpr double kGoalSeconds = 1.0;
constexpr double kGoalMemoryRatio = 10.0;

QByteArray makeFile(int items) {
  QByteArray f = "<CodeTree User=\"Vantrel\" Description=\"CodeTree\">\r\n";
  int n = 0;
  for (int i = 0; i < items; ++i) {
    if (i % kItemsPerGroup == 0)
      f += "<" + QByteArray::number(n++) + " Type=\"2\" User=\"Hall " + QByteArray::number(i / kItemsPerGroup) +
           "\" Description=\"Group of routes\" Code=\"\"/>\r\n";
    f += "<" + QByteArray::number(n++) + " Type=\"3\" User=\"Op\" Description=\"In " + QByteArray::number(i % 256 + 1) +
         " to &quot;all&quot;\" Code=\"" + QByteArray::number(i % 256 + 1) + "V1,2,3.\"/>\r\n";
  }
  return f + "</CodeTree>\r\n";
}

std::size_t heapInUse() { return mallinfo2().uordblks; }
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir config;
  qputenv("SWITCHER_CONFIG_DIR", config.path().toLocal8Bit());
  QApplication app(argc, argv);
  const int items = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultItems;
  {
    QFile ini(config.filePath("Switcher.ini"));
    if (!ini.open(QIODevice::WriteOnly)) return 1;
    ini.write("[COM]\nCOM1=/nonexistent\nCOM2=/nonexistent\nCOM3=/nonexistent\nCOM4=/nonexistent\n");
  }
  const QString in = config.filePath("big.cgf");
  const QString out = config.filePath("saved.cgf");
  const QByteArray bytes = makeFile(items);
  {
    QFile f(in);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) return 1;
  }
  CreateForms();
  MainForm->Timer5->stop();
  MainForm->show();
  MainForm->PageControl->setCurrentWidget(MainForm->dxTabSheet4);
  QCoreApplication::processEvents();

  double bestLoad = 1e9, bestSave = 1e9;
  std::size_t treeBytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    MainForm->LoadCodeTree(QString());  // back to the default tree
    QCoreApplication::processEvents();
    const std::size_t before = heapInUse();
    QElapsedTimer t;
    t.start();
    MainForm->LoadCodeTree(in);
    MainForm->TreeView1->repaint();
    QCoreApplication::processEvents();
    bestLoad = std::min(bestLoad, double(t.nsecsElapsed()) / 1e9);
    treeBytes = heapInUse() - before;

    t.restart();
    if (!MainForm->SaveCodeTree(out)) {
      std::fprintf(stderr, "save failed\n");
      return 1;
    }
    bestSave = std::min(bestSave, double(t.nsecsElapsed()) / 1e9);
  }
  QFile saved(out);
  if (!saved.open(QIODevice::ReadOnly) || saved.readAll() != bytes) {
    std::fprintf(stderr, "the saved file differs from the loaded one\n");
    return 1;
  }
  const double ratio = double(treeBytes) / double(bytes.size());
  std::printf("code tree of %d items (%d groups), file %.1f MB, best of %d runs\n", items,
              (items + kItemsPerGroup - 1) / kItemsPerGroup, double(bytes.size()) / 1e6, kRuns);
  std::printf("  LoadCodeTree into the view, painted: %.3f s  (goal < %.1f s: %s)\n", bestLoad, kGoalSeconds,
              bestLoad < kGoalSeconds ? "met" : "NOT met");
  std::printf("  SaveCodeTree from the view:          %.3f s  (goal < %.1f s: %s)\n", bestSave, kGoalSeconds,
              bestSave < kGoalSeconds ? "met" : "NOT met");
  std::printf("  heap taken by the loaded tree and document: %.1f MB = %.1f x the file  (goal < %.0f x: %s)\n",
              double(treeBytes) / 1e6, ratio, kGoalMemoryRatio, ratio < kGoalMemoryRatio ? "met" : "NOT met");
  DestroyForms();
  return 0;
}
