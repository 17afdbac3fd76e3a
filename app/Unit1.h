#pragma once
// TMainForm: the console's main window. One class, its handlers split by concern:
//   Unit1.cpp        construction, FormCreate, event dispatch (1025), FormClose, destruction
//   Layout.cpp       the widgets: title band, tabs, output grid
//   LinkManager.cpp  mode, COM and TCP/IP links, Switcher.ini, identification
//   Feedback.cpp     line assembly on both links, HandleFeedbackLine, identification timers
//   OutputGrid.cpp   output button clicks and the output-port dialog
//   CustomCode.cpp   Custom Code tab, help keys, Clear buttons, password and unlock
//   Keypad.cpp       Keyboard tab
//   AutoSequence.cpp Auto tab
//   CodeGroupTab.cpp Code Group tab; CodeFile.cpp its .cgf files; CodeTreeView the tree view

#include <QByteArray>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

#include "CodeNode.h"
#include "Feedback.h"
#include "Transmission.h"

class ComPort;
class QAbstractButton;
class MarkupDoc;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTcpSocket;
class QTimer;
class TForm2;
class TForm3;
class TForm4;
class TForm5;
class TCodeTreeView;
class TMainForm;
class TMemo;
class TOutPortButton;

// A secondary window of the main one. CreateForms() makes it at once; the program's start
// (CreateForms(FormsMade::OnFirstUse)) leaves it to the first use through its global, so the
// first frame does not wait for windows that may never open. Null while there is no main
// window, as before it is made.
template <typename Form>
class SecondaryForm {
 public:
  Form* get() const;
  Form* operator->() const { return get(); }
  operator Form*() const { return get(); }
  bool made() const { return form != nullptr; }
  void make() const { get(); }
  void forget() { form = nullptr; }

 private:
  mutable Form* form = nullptr;
};

// The program's windows, destroyed together.
extern TMainForm* MainForm;
extern SecondaryForm<TForm5> Form5;
extern SecondaryForm<TForm2> Form2;
extern SecondaryForm<TForm3> Form3;
extern SecondaryForm<TForm4> Form4;
enum class FormsMade { AtOnce, OnFirstUse };
void CreateForms(FormsMade when = FormsMade::AtOnce);
void DestroyForms();

constexpr int kOutputCount = 256;
constexpr std::uint16_t kSwitcherTcpPort = 8888;
// Tests only: overrides the switcher's TCP port (a free loopback port instead of 8888).
constexpr char kTcpPortEnv[] = "SWITCHER_TCP_PORT";

constexpr std::chrono::milliseconds kTimerInterval{100};      // no identification reply
constexpr std::chrono::milliseconds kTimer1Interval{2000};    // clears Busy
constexpr std::chrono::milliseconds kTimer2Interval{2000};    // keypad lock key held
constexpr std::chrono::milliseconds kTimer3Interval{100};     // status query of identification
constexpr std::chrono::milliseconds kTimer4Interval{500};     // closes Update after the last line
constexpr std::chrono::milliseconds kTimer5Interval{1000};    // COM port search at start
constexpr std::chrono::milliseconds kAutoTimerInterval{200};  // auto sequence tick
// Closes the Update window when a reply stopped Timer but no status line ever follows.
constexpr std::chrono::milliseconds kStatusWaitBound{3000};
constexpr std::chrono::milliseconds kLinkPause{10};

class TMainForm : public QWidget, public LinkContext {
  Q_OBJECT
 public:
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // ---- members shared with the other handlers, in their documented order ----
  feedback::TcpAssembler Tcp;      // TcpRing, TcpReadPos, TcpWritePos
  std::int32_t SelectedPort = 0;
  std::int32_t OpenPort = 0;
  std::uint8_t Busy = 0;
  feedback::SerialAssembler Serial;  // SerialLine, SerialLineLen
  char AutoSignal = 'B';
  std::int32_t AutoInput = 0;
  std::int32_t AutoLastInput = 0;
  std::int32_t AutoOutput = 0;
  std::int32_t AutoLastOutput = 0;
  std::uint32_t KeypadMode = 0;
  std::uint8_t CodeTreeChanged = 0;  // the code tree was edited since it was loaded or saved
  std::unique_ptr<MarkupDoc> CodeDoc;  // the markup document of the code group file
  std::uint32_t ReplyTarget = 0;
  ComPort* SerialPort = nullptr;

  // ---- widgets (names as set with setObjectName) ----
  QWidget* fcImageBtn226 = nullptr;  // minimise
  QWidget* fcImageBtn227 = nullptr;  // close
  QTabWidget* PageControl = nullptr;
  QWidget* TabSheetSys = nullptr;
  QWidget* dxTabSheetAuto = nullptr;
  QWidget* dxTabSheet1 = nullptr;
  QWidget* dxTabSheet3 = nullptr;
  QWidget* dxTabSheet4 = nullptr;
  QWidget* dxTabSheet5 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QRadioButton* RadioButton1 = nullptr;
  QRadioButton* RadioButton2 = nullptr;
  QGroupBox* GroupBoxCom = nullptr;
  std::array<QRadioButton*, 4> RadioCOM{};  // RadioCOM1..RadioCOM4
  QButtonGroup* RadioCOMGroup = nullptr;
  QLabel* Label27 = nullptr;
  QLineEdit* Edit6 = nullptr;
  QLabel* Label28 = nullptr;
  QPushButton* ButtonOpenCom = nullptr;
  QPushButton* ButtonCloseCom = nullptr;
  QPushButton* ButtonUpdate = nullptr;
  QPushButton* Button51 = nullptr;  // "Set  Password"
  QPushButton* Button52 = nullptr;  // "Unlock Keyboard"
  TMemo* MemoSysInfo = nullptr;
  TMemo* Memo1 = nullptr;  // Keyboard
  TMemo* Memo2 = nullptr;  // Auto
  TMemo* Memo3 = nullptr;  // Custom Code
  TMemo* Memo4 = nullptr;  // Code Group
  TMemo* Memo5 = nullptr;  // send list
  TMemo* Memo6 = nullptr;  // receive list
  QPushButton* Button6 = nullptr;   // Clear, Auto
  QPushButton* Button1 = nullptr;   // Clear, Keyboard
  QPushButton* Button7 = nullptr;   // Clear, Custom Code
  QPushButton* Button13 = nullptr;  // Clear, Code Group
  QPushButton* Button48 = nullptr;  // Clear, send list
  QPushButton* Button49 = nullptr;  // Clear, receive list
  // OutPort[n] is OutPortnnn, n = 1..256; index 0 unused.
  std::array<TOutPortButton*, kOutputCount + 1> OutPort{};

  QTcpSocket* ClientSocket1 = nullptr;
  QTimer* Timer = nullptr;
  QTimer* Timer1 = nullptr;
  QTimer* Timer2 = nullptr;
  QTimer* Timer3 = nullptr;
  QTimer* Timer4 = nullptr;
  QTimer* Timer5 = nullptr;
  QTimer* AutoTimer = nullptr;
  QTimer* StatusWaitTimer = nullptr;  // the bound on the status wait, see kStatusWaitBound

  // ---- LinkContext ----
  bool tcpMode() const override;
  bool socketActive() const override;
  void socketSend(const QByteArray& bytes) override;
  bool serialOpen() const override;
  bool serialWriteByte(std::uint8_t byte) override;
  void appendSendLog(const QByteArray& line) override;
  void appendHexSendLog(const QByteArray& line, const QByteArray& bytes) override;
  QWidget* mainWindow() const override;

  // ---- Unit1.cpp ----
  void FormCreate();
  // False keeps the window open (the operator wanted the edited code tree saved, and it
  // was not).
  bool FormClose();
  void Button14Click();  // close
  void Button47Click();  // minimise

  // ---- LinkManager.cpp ----
  void RadioCOMClick(QObject* sender);
  void RadioButton1Click();
  void RadioButton2Click();
  void ButtonOpenComClick();
  void ButtonCloseComClick();
  void ButtonUpdateClick();
  void Timer1Timer();
  void Timer5Timer();
  void ClientSocket1Lookup();
  void ClientSocket1Connecting();
  void ClientSocket1Connect();
  void ClientSocket1Disconnect();
  void ClientSocket1Error();
  void SyncComButtons();
  void ProbeComPorts();
  // The serial monitor thread ended on its own: the port is closed and shown so.
  void SerialMonitorEnded();

  // ---- Feedback.cpp ----
  void SerialFeedback(std::uint8_t byte);
  void ClientSocket1Read();
  void HandleFeedbackLine(const QByteArray& line);
  void TimerTimer();
  void Timer3Timer();
  void Timer4Timer();
  void StatusWaitTimerTimer();

  // ---- OutputGrid.cpp: output grid and output-port dialog ----
  void OutPort001Click(QObject* sender);  // all 256 output buttons; the output is the Tag
  bool OutPortDialogUsed = false;         // the dialog has been shown at least once
  // An arrow key on the focused output button: Left and Right step by one output, Up and
  // Down by a row of 16; the keyboard (and the grid's Tab stop) moves there if it exists.
  void OutPortArrowKey(QObject* sender, int key);

  // ---- CustomCode.cpp: Custom Code tab, help, Clear buttons, password and unlock ----
  QLabel* Label8 = nullptr;              // "Code："
  QLineEdit* Edit2 = nullptr;            // the code to send
  QGroupBox* GroupBox5 = nullptr;
  QRadioButton* RadioButton5 = nullptr;  // ASCII
  QRadioButton* RadioButton6 = nullptr;  // HEX
  QPushButton* Button8 = nullptr;        // Send, the tab's default button
  QPushButton* Button53 = nullptr;       // Help
  void Button8Click();   // send Edit2 as typed or as HEX
  void Button53Click();  // show the help window
  void Button51Click();  // Set Password
  void Button52Click();  // Unlock Keyboard
  // F1 and Esc in every window of the program show and hide the help window.
  void InstallHelpKeys();
  QObject* HelpKeys = nullptr;
  void Button6Click();   // Clear Memo2 (Auto)
  void Button1Click();   // Clear Memo1 (Keyboard)
  void Button7Click();   // Clear Memo3 (Custom Code)
  void Button13Click();  // Clear Memo4 (Code Group)
  void Button48Click();  // Clear Memo5 (send list)
  void Button49Click();  // Clear Memo6 (receive list)

  // ---- Keypad.cpp: Keyboard tab ----
  QLineEdit* Edit1 = nullptr;     // the command being composed
  QGroupBox* GroupBox1 = nullptr; // "KeyBoard"
  // Left block: signal keys, digits, "/" and END. BtnDig[d] is BtnDigd.
  QAbstractButton* Button3 = nullptr;   // AV, types "B"
  QAbstractButton* Button15 = nullptr;  // VIDEO, types "V"
  QAbstractButton* Button16 = nullptr;  // AUDIO, types "A"
  std::array<QAbstractButton*, 10> BtnDig{};
  QAbstractButton* Button31 = nullptr;  // "/", types ","
  QAbstractButton* Button32 = nullptr;  // END, types "."
  // Right block, row by row.
  QAbstractButton* Button17 = nullptr;  // ENTER (the tab's default button)
  QAbstractButton* Button35 = nullptr;  // ALL
  QAbstractButton* Button40 = nullptr;  // SAVE
  QAbstractButton* Button29 = nullptr;  // PROGRAM, types "P"
  QAbstractButton* Button25 = nullptr;  // THROUGH
  QAbstractButton* Button41 = nullptr;  // RECALL
  QAbstractButton* Button21 = nullptr;  // UNDO
  QAbstractButton* Button37 = nullptr;  // CLOSE
  QAbstractButton* Button42 = nullptr;  // STATUS
  QAbstractButton* Button36 = nullptr;  // backspace
  QAbstractButton* Button38 = nullptr;  // LOCK (held two seconds)
  QAbstractButton* fcImageBtn268 = nullptr;  // DEMO, no action
  QAbstractButton* Button33 = nullptr;  // CANCEL
  QAbstractButton* Button34 = nullptr;  // <
  QAbstractButton* Button39 = nullptr;  // >
  void BtnDig0Click(QObject* sender);  // the ten digit keys
  void Button3Click(QObject* sender);  // AV, VIDEO, AUDIO, "/" and END
  void Button29Click(QObject* sender);
  void Button17Click();
  void Button35Click();
  void Button40Click();
  void Button41Click();
  void Button25Click();
  void Button21Click();
  void Button37Click();
  void Button42Click();
  void Button33Click();
  void Button34Click();
  void Button39Click();
  void Button36Click();
  void Button38MouseDown();
  void Button38MouseUp();
  void Timer2Timer();

  // ---- AutoSequence.cpp: Auto tab ----
  QWidget* fcButtonGroup1 = nullptr;
  QAbstractButton* fcButtonGroup1fcShapeBtnAV = nullptr;
  QAbstractButton* fcButtonGroup1fcShapeBtnVideo = nullptr;
  QAbstractButton* fcButtonGroup1fcShapeBtnAudio = nullptr;
  QLabel* PanelHint = nullptr;
  QLineEdit* InputFrom = nullptr;
  QLineEdit* InputTo = nullptr;
  QLineEdit* MaskEdit3 = nullptr;  // first output
  QLineEdit* MaskEdit4 = nullptr;  // last output
  QLineEdit* DelayTime = nullptr;  // ms
  QPushButton* Button4 = nullptr;  // Start / Pause; its Tag is the run state
  QPushButton* Button5 = nullptr;  // Stop
  void fcButtonGroup1fcShapeBtnAVClick();
  void fcButtonGroup1fcShapeBtnVideoClick();
  void fcButtonGroup1fcShapeBtnAudioClick();
  void Button4Click();
  void Button5Click();
  void AutoTimerTimer();
  // Button4's Tag: 0 stopped, 1 running, 2 paused.
  int AutoRunState() const;

  // ---- Reconnect.cpp: links that come back (Switcher.ini [Link] Reconnect, default 1) ----
  bool ReconnectEnabled = true;
  QTimer* SerialRetryTimer = nullptr;  // looks for a lost COM device every 500 ms
  int LostPort = 0;                    // its COM number; 0 none
  QString LostDevice;                  // its device path when it went away
  QTimer* TcpRetryTimer = nullptr;     // the pause before the next TCP/IP attempt
  bool TcpLinkWanted = false;          // Open pressed in TCP/IP mode, no Close since
  bool TcpWasConnected = false;        // ... and the link was up since that Open
  int TcpRetryAttempt = 0;             // attempts since the link went away; 0 none
  std::chrono::seconds TcpRetryPause{0};
  QElapsedTimer TcpUpSince;            // since the link last came up
  void SetupReconnect();
  void StartSerialReconnect(int port);
  void SerialRetryTimerTimer();
  void TcpRetryTimerTimer();
  void TcpLinkClosed();
  void TcpLinkUp();
  // Identifies the switcher on a link that came back by itself.
  void IdentifyRelinkedSwitcher();
  // The operator takes the link over (Open, Close, another mode): no more attempts.
  void StopReconnect();

  // ---- RoutingView.cpp: routing table, names of inputs and outputs, routing snapshots ----
  void SetupRouting();

  // ---- SessionLogLink.cpp: session log, the lists' menus, paced sends ----
  void SetupSessionLog();

  // ---- EngineFrontEnd.cpp: the switcher engine under the window, and its services (the
  // gateway, router panels, MQTT: Switcher.ini, --gateway, --panel, --mqtt) ----
  void SetupEngine();
  void SetupServices();

  // ---- CodeGroupTab.cpp: Code Group tab and code group files ----
  TCodeTreeView* TreeView1 = nullptr;
  QGroupBox* GroupBox6 = nullptr;  // the edit panel
  QLabel* Label3 = nullptr;        // "User："
  QLabel* Label4 = nullptr;        // "Description："
  QLabel* Label5 = nullptr;        // "Code："
  QLineEdit* Edit3 = nullptr;      // user
  QLineEdit* Edit4 = nullptr;      // description
  QLineEdit* Edit5 = nullptr;      // code
  QPushButton* Button9 = nullptr;   // Add
  QPushButton* Button10 = nullptr;  // Edit; its Tag: 0 = next press unlocks, 1 = locks
  QPushButton* Button11 = nullptr;  // Delete
  QPushButton* Button12 = nullptr;  // Execute
  QPushButton* Button50 = nullptr;  // New
  QPushButton* Button2 = nullptr;   // Open
  QPushButton* Button44 = nullptr;  // Save
  CodeTreeItem* RootNode = nullptr;     // null only while the tree is being rebuilt
  CodeTreeItem* CurrentNode = nullptr;  // the node being worked on; null: none
  // What the node records drive: the tree, the edit panel, the link.
  std::unique_ptr<CodeTreeHost> CodeHost;

  // A click in the tree, and any other change of its selection.
  void TreeView1Click();
  // Removes every node (the panel then shows none) before a new tree is built.
  void ClearCodeTree();
  void Button9Click();   // Add
  void Button10Click();  // Edit (lock toggle)
  void Button11Click();  // Delete
  void Button12Click();  // Execute
  void Edit3Change();
  void Edit4Change();
  void Edit5Change();
  void TreeView1DragOver(CodeTreeItem* under);
  // droppedOnTree: false when the drag ended outside the tree or was cancelled.
  void TreeView1EndDrag(bool droppedOnTree);

  // CodeFile.cpp: the .cgf file, Open, Save, New and Switch.ini.
  // The tree of a code group file, or the default tree when it cannot be read; returns why
  // it could not (empty when it loaded).
  QString LoadCodeTree(const QString& path);
  // Loads the file into CodeDoc; empty when it holds a code tree, else the reason.
  QString ReadCodeFile(const QString& path);
  // Builds the tree from CodeDoc, which ReadCodeFile has just loaded.
  void BuildCodeTreeFromDoc();
  // False when the file could not be written; errno tells why.
  bool SaveCodeTree(const QString& path);
  void Button2Click();   // Open
  void Button44Click();  // Save
  void Button50Click();  // New
  // Save with its dialog: true once the tree is on disk, false when cancelled or failed
  // (a failure is reported).
  bool SaveCodeTreeAs();
  // The question before the tree is replaced or the window closes: true to go on.
  bool AskToSaveCodeTree(bool withCancel);
  // The tree's path from Switch.ini.
  QString StoredCodeFilePath() const;
  // Root, group and code item as New makes them; CurrentNode on the code item.
  void BuildDefaultCodeTree();
  QString CodeFileName;  // last name a code file dialog gave: where the next one opens

  // Traffic counters, for the status display of tests and benchmarks.
  std::uint64_t TcpBytesReceived = 0;
  std::uint64_t LinesHandled = 0;

  // The remote port of ClientSocket1: 8888, or SWITCHER_TCP_PORT in tests.
  std::uint16_t tcpPort() const { return ClientSocketPort; }
  bool identifying() const { return Identifying; }

 signals:
  // ButtonUpdateClick has returned: the Update window was closed.
  void identificationFinished();
  // The start-up COM search is over (whether or not a port opened).
  void probeFinished();

 protected:
  bool event(QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void BuildLayout();
  QWidget* BuildSystemTab();
  // A feedback memo: "Feedback Message :" on its first line.
  TMemo* BuildFeedbackMemo(const char* name, QWidget* page, QRect place);
  // A flat push button in the console's colours ("image button").
  QPushButton* BuildImageButton(const char* name, const QString& caption, QWidget* page, QRect place);
  QWidget* BuildAutoTab();        // AutoSequence.cpp
  QWidget* BuildKeyboardTab();    // Keypad.cpp
  QWidget* BuildCustomCodeTab();  // CustomCode.cpp
  QWidget* BuildCodeGroupTab();   // CodeGroupTab.cpp
  QWidget* BuildListTab();
  void BuildOutputGrid();
  void OpenComPortObject(int port);
  void ShowCurrentCom();
  void SetCaption(int output, int input);
  void InstallIdleHandler();
  void RemoveIdleHandler();

  std::uint16_t ClientSocketPort = kSwitcherTcpPort;
  bool SocketIsActive = false;
  bool Identifying = false;
  bool OpeningPort = false;  // ComPort::Open is running (it may show a box)
  QMetaObject::Connection IdleHandler;
  // Window drag by the background.
  QPoint DragStart;
  QPoint DragWindowStart;
  bool DragPressed = false;
  bool Dragging = false;
};
