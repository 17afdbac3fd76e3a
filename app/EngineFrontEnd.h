#pragma once
// The window as a front end of the switcher engine: the engine (a child of the window,
// "SwitcherEngine") is handed the window's own link for clients' writes and hears the
// window's link events and identification; the window shows what the engine's services
// report (a status line each under the System memo, one box for a service that cannot
// start). Set up by TMainForm::SetupEngine() and TMainForm::SetupServices().

#include <QString>

class TMainForm;

namespace engine {
class SwitcherEngine;
}
namespace feedback {
struct Line;
}

// The window's engine; null before SetupEngine().
engine::SwitcherEngine* EngineOf(const TMainForm& form);

// One run's listeners and broker (--gateway, --panel, --mqtt): they override Switcher.ini.
void SetGatewayPortForRun(int port);
void SetPanelPortForRun(int port);
void SetMqttBrokerForRun(const QString& host, int port);
void SetWebPortForRun(int port);
void SetSwp08PortForRun(int port);
void SetEmberPortForRun(int port);

// The switcher's bytes as they came, for the gateway's clients.
void GatewaySwitcherBytes(TMainForm& form, const char* data, int size);
// The output-port dialog asks for its output's status: with the gateway on, only the reply
// naming that output fills the dialog (another may be a client's).
void GatewayDialogOpens(TMainForm& form, int output);
bool GatewayLineFillsDialog(TMainForm& form, const feedback::Line& line);

// The monitor thread saw the COM device fail (WM_SERIALFAILING): remote clients learn at once
// that the link is gone, while the window's own handlers wait for the operator's box.
void SerialLinkFailing(TMainForm& form);
