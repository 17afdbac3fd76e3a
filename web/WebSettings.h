#pragma once
// Switcher.ini [Web]: where the page is served, who may reach it, and its password.

#include "GatewaySettings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace web {

constexpr char kSection[] = "Web";
constexpr int kDefaultMaxClients = 16;  // pages (WebSockets) open at once

struct Settings {
  // Port (0: off), Bind, Allow, MaxClients, ReadOnly, problem: the gateway's reader and rules.
  gateway::Settings listen;
  QString passwordFile;  // empty: no password asked
  // Hosts: more names the page answers to (a DNS name, a TLS reverse proxy's), lower case;
  // a page loaded by one of them over https is its own origin too.
  QStringList hosts;
};

// The [Web] section; a value that cannot be used as written sets listen.problem.
Settings ReadSettings(const QString& fileName = QStringLiteral("Switcher.ini"));

// The first line of the password file, without its line end; *error says why not.
QByteArray ReadPassword(const QString& path, QString* error);

}  // namespace web
