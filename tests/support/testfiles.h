#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

// Whole-file helpers for tests that check stored bytes.
QByteArray readFile(const QString &path);                     // empty when it cannot be read
bool writeFile(const QString &path, const QByteArray &bytes); // creates the folder first

// Points the application's data folder at `home` (XDG_DATA_HOME, organisation and application name),
// so that Configuration::load finds "<home>/Vesk/SealStation/".
void useDataHome(const QString &home);

// The environment of a new user whose home, XDG folders and runtime folder lie under `home`
// (the runtime folder is created); no key socket is named.
QProcessEnvironment freshUserEnvironment(const QString &home);
