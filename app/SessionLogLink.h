#pragma once
// The session log and the paced send queue in the main window: the hooks its handlers call,
// the lists' context menus, and the queue's Stop. Both live in one QObject child of the
// window ("SessionLink", holding "SessionLog" and "SendQueue"), so the window class keeps
// its members as they are. Set up by TMainForm::SetupSessionLog().

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

class TMainForm;
class TMemo;

enum class LinkChange { Opened, Closed, Lost, Reconnected };

// The send list's line has gone out: logged with the link; returns its time.
qint64 LogSent(TMainForm& f, const QByteArray& line);
// A feedback line: logged (an identification reply also as a link event); returns its time.
qint64 LogReceived(TMainForm& f, const QByteArray& line);
// A COM port opened, closed, went away or came back. Closed and Lost drop the paced queue.
void LogComLink(TMainForm& f, LinkChange change, int port);

// Leaves ReplyTarget as it is when the command goes out.
constexpr std::uint32_t kKeepReplyTarget = UINT32_MAX;
// One command of a run (a code group, an auto step, a gateway client's line) for the reply
// target: with [Link] Pace=0 at once through SendCode, exactly as without a queue; else
// behind the commands already waiting, at least Pace ms after the one before. False only
// when it was sent at once and refused.
bool PacedSend(TMainForm& f, const QByteArray& command, std::uint32_t replyTarget);
// The same with the caller's own way out (a client's: its label, no boxes); dropped is
// called when the command will not go (Esc, Stop, the link closed or lost, or a refusal of
// the command before it).
using PacedSender = std::function<bool(const QByteArray&)>;
bool PacedSendWith(TMainForm& f, const QByteArray& command, PacedSender send,
                   std::function<void()> dropped = {});
// [Link] Pace in ms; 0 when commands go at once.
int PacedPace(const TMainForm& f);
// Commands of the paced queue still waiting, or going out.
int PacedBacklog(const TMainForm& f);
// Drops what waits; says how many in the System memo (with `why`) and the log.
int StopPacedRun(TMainForm& f, const QString& why);

// The lists' menu entries.
bool SaveListAs(TMainForm& f, TMemo* memo);
void OpenLogFolder(TMainForm& f);
