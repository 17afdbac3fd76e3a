// Remote clients' commands on the main window, through the engine.
#include "ClientCommands.h"

#include <cstdio>

#include "EngineFrontEnd.h"
#include "SwitcherEngine.h"

QuietPrompts::QuietPrompts() : previous(platform::setPrompts(this)) {}
QuietPrompts::~QuietPrompts() { platform::setPrompts(previous); }
platform::Answer QuietPrompts::message(const platform::Prompt& p) {
  std::fprintf(stderr, "switcher-console: client command: %s\n", qPrintable(p.text));
  return platform::Answer::Ok;
}

bool ClientLinkReady(const TMainForm& form) {
  const engine::SwitcherEngine* e = EngineOf(form);
  return e && e->ready();
}

int ClientCommandsWaiting(const TMainForm& form, const QString& label) {
  const engine::SwitcherEngine* e = EngineOf(form);
  return e ? e->queue().waiting(label) : 0;
}

bool ClientCanTake(const TMainForm& form, const QString& label, int count) {
  const engine::SwitcherEngine* e = EngineOf(form);
  return e && e->ready() && e->queue().clientCanTake(label, count);
}

ClientSendResult ClientSend(TMainForm& form, const QByteArray& command, const QString& label,
                            std::function<void()> onDropped, std::function<void()> onWritten) {
  engine::SwitcherEngine* e = EngineOf(form);
  if (!e) return ClientSendResult::LinkClosed;
  return e->sendClient(command, label, std::move(onDropped), std::move(onWritten));
}
