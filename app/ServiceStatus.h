#pragma once
// One short status line per remote service (the gateway, a router-panel listener, MQTT)
// under the System memo on the System page, so that the switcher's lines in the memo stay
// where they are. The memo gives up one line's height per service shown; a text too wide
// for the line is elided, with the full text as its tooltip. With no service shown the page
// is exactly as it always was.

#include <QString>

class TMainForm;

// Shows (or, with an empty text, removes) service's line; lines keep the order they first
// appeared in.
void SetServiceStatus(TMainForm& form, const QString& service, const QString& text);
// The line's full text, empty when the service has none.
QString ServiceStatus(const TMainForm& form, const QString& service);
