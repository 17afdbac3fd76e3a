#pragma once
// Router panels (gateway/PanelServer) on the main window: TMainForm::SetupPanel starts the
// Videohub Ethernet protocol from Switcher.ini [Panel] (or --panel PORT) as a child of the
// window. With the panel off nothing of the console changes.

// --panel PORT: the port for this run, over Switcher.ini's; call before the window exists.
void SetPanelPortForRun(int port);
