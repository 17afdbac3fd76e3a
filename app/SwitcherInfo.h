#pragma once
// What the console knows of the switcher and its link, for the bridges that show it to other
// systems (MQTT, router panels): a QObject child of the window ("SwitcherInfo"), made by
// TMainForm::SetupSwitcherInfo() before the listeners start.

#include <QByteArray>
#include <QObject>
#include <QString>

class TMainForm;

class SwitcherInfo : public QObject {
  Q_OBJECT
 public:
  explicit SwitcherInfo(TMainForm& form);
  ~SwitcherInfo() override;
  // Null only before SetupSwitcherInfo() and after the window's destruction began.
  static SwitcherInfo* of(const TMainForm& form);

  bool linkUp() const;       // the link of the current mode is open
  bool identifying() const;  // the Update window's identification runs
  bool ready() const { return linkUp() && !identifying(); }  // remote commands may go out
  QString linkName() const;  // "COM1 /dev/ttyUSB0" or "TCP 10.0.0.5:8888"; empty while down
  QString model() const { return Model; }      // type reply of the last identification
  QString version() const { return Version; }  // its version reply
  bool identified() const { return !Model.isEmpty(); }
  int inputs() const { return Inputs; }    // from "MATRIX <I>X<O>", else 256
  int outputs() const { return Outputs; }  // the same, at most the grid's 256

  // The window's hooks: an identification starts or ends; a line arrived during it.
  void identificationStarts();
  void identificationEnds();
  void identificationLine(const QByteArray& line);
  // A link opened, closed, went away or came back.
  void linkEvent();

 signals:
  void linkChanged(bool up);
  void identifyingChanged(bool on);
  // Model and version (so inputs and outputs) were learnt or changed.
  void identifiedChanged();

 private:
  void recheck();
  void learn(const QString& model, const QString& version);

  TMainForm& Form;
  bool LastUp = false;
  bool Identifying = false;
  int LinesSeen = 0;  // of the running identification: the first is the type, the second the version
  QString Model, Version, PendingModel, PendingVersion;
  int Inputs, Outputs;
};
