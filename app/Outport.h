#pragma once
// TForm2: the output-port dialog. The feedback parser fills it while it waits for the
// reply to a single-output status query.

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
namespace names {
class Names;
}

class TForm2 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm2(QWidget* owner = nullptr);

  // RadioGroup1's ItemIndex: -1 none, 0 AV, 1 Video, 2 Audio.
  int itemIndex() const;
  // Changing it to 0..2 runs RadioGroup1Click as the operator's choice would; setting the
  // index it already has, or -1, runs nothing.
  void setItemIndex(int index);

  void RadioGroup1Click();
  void ComboBox1Change();
  // Back to the state of a use that has not begun: both lists at "0" and disabled, no
  // signal chosen (without RadioGroup1Click), OK disabled. Label2 keeps its caption.
  void ResetForNextUse();

  // The operator's names: each list item reads "i  name" where input i has one (the item's
  // index stays the input number), and a line under the signal group names the output.
  // Null names and an empty name: the dialog as without names.
  void setInputNames(const names::Names* names);
  void setOutputName(const QString& name);

  QGroupBox* RadioGroup1 = nullptr;
  QButtonGroup* RadioGroup1Items = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QComboBox* ComboBox1 = nullptr;  // audio input
  QComboBox* ComboBox2 = nullptr;  // video input
  QPushButton* BitBtn1 = nullptr;  // OK
  QPushButton* BitBtn2 = nullptr;  // Cancel
  QLabel* LabelOutputName = nullptr;  // shown only for a named output

 protected:
  void showEvent(QShowEvent* e) override;
};
