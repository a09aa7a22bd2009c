#pragma once

#include <QString>

// Files and folders that hold patient data, credentials or traces are the
// user's alone wherever they are made. Only what is created here is
// tightened: an administrator's choice for an existing file or folder is kept.
namespace PrivateFiles {
// Creates the folder and any missing parents owner-only (0700). False when it
// could not be made.
bool makeFolder(const QString& path);
// Creates an empty owner-only file (0600) when there is none, so whatever
// writes it next writes into a private file. False when it could not.
bool touchFile(const QString& path);
} // namespace PrivateFiles
