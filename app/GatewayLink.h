#pragma once
// The console as a gateway (gateway/GatewayServer) on the main window: TMainForm::SetupGateway
// starts it from Switcher.ini [Gateway] (or --gateway PORT) as a child of the window, and the
// functions below are the window's hooks into it. With the gateway off every hook does nothing.

#include <cstdint>

class TMainForm;
namespace feedback {
struct Line;
}

// --gateway PORT: the port for this run, over Switcher.ini's; call before the window exists.
void SetGatewayPortForRun(int port);

// Bytes from the switcher as they arrive on either link, before the console reads them.
void GatewaySwitcherBytes(TMainForm& form, const char* data, int size);

// The output-port dialog is about to wait for the status of this output.
void GatewayDialogOpens(TMainForm& form, int output);
// Whether a line may fill the output-port dialog: while the gateway runs, only a route report
// for the output the dialog waits for does; a client's "Status." burst or its other replies
// do not.
bool GatewayLineFillsDialog(TMainForm& form, const feedback::Line& line);
