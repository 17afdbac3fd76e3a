#pragma once
// The MQTT bridge (mqtt/MqttBridge) on the main window: TMainForm::SetupMqtt starts it from
// Switcher.ini [MQTT] (or --mqtt HOST[:PORT]) as a child of the window. Off by default.

#include <QString>

// --mqtt HOST[:PORT]: the broker for this run, over Switcher.ini's; call before the window exists.
void SetMqttBrokerForRun(const QString& host, int port);
