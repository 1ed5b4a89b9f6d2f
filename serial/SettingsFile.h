#pragma once
// The settings file beside the program: finding it in any letter case,
// loading it into the port object, saving it durably.

#include "SettingsText.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// The reader's name for the file (as shown in the missing-file message) and
// the writer's name for a new file. Both mean one file: the name is matched
// without regard to letter case.
inline const QString kSettingsReaderName = QStringLiteral("Ktr.INI");
inline const QString kSettingsWriterName = QStringLiteral("KTR.INI");

// The settings file in dir, as reader and writer both resolve it: an exact
// "KTR.INI" if there is one, otherwise the first entry whose name is KTR.INI
// in any letter case, in byte order. Any kind of entry counts, so that a
// directory or a pipe of that name is found and refused by what it is.
struct SettingsFileLookup {
    QString path;           // empty when no entry matches
    QStringList otherNames; // the other matching names, in byte order
};
SettingsFileLookup findSettingsFile(const QString& dir);

// One line for the operator when the program directory holds the settings
// file under several names, saying which one is in use; empty otherwise.
// Shown once at start-up: a message box before the main window, a line on
// stderr for ktr6ctl.
QString settingsFileNotice();

// The default settings file shipped with the program where one is present
// (a source tree's resources/KTR.INI, a package's /usr/share/ktr6/KTR.INI),
// otherwise empty.
QString defaultSettingsFilePath();

// What a new installation's settings file holds: COM1, no handshaking, 9600
// baud.
inline constexpr PortSettingsValues kDefaultPortSettings{1, 0, 9600, 0, 0};

// The settings file's values, without touching the port or the shared
// variables. When there is no file, or it is unusable, values is empty and
// message says so as LoadPortSettings shows it.
struct PortSettingsRead {
    std::optional<PortSettingsValues> values;
    bool missing = false; // there is no settings file at all
    QString message;
};
PortSettingsRead readPortSettings();

// Reads the settings file into the shared port variables and configures
// MSComm1 (port number, handshaking, line settings, text input, DTR off),
// leaving the port closed. When the file is missing or unusable it shows a
// message and returns false: the program must then end. Anything but a
// regular file (or a link to one) is refused without being opened.
bool LoadPortSettings();

// Rewrites the settings file (creating KTR.INI when there is none), keeping
// its owner, group and mode; through a link it writes the link's target.
// Atomically (a new file renamed over the old one) where a file can be made
// beside the target that keeps all three; otherwise in place. A file without
// any write permission bit is not rewritten, whoever asks. On failure returns
// false with a message for the operator in *error that names the file and
// says whether the file may be damaged. Every writer holds an advisory lock
// (flock on the program directory) while it writes, waiting up to
// kSettingsLockWaitMs for another writer to finish.
bool writePortSettings(const PortSettingsValues& values, QString* error);

// Changes only the port number of the settings file as it is now: under the
// writers' lock it reads the file again and writes it back with the new
// port, so that a change another program made meanwhile stays. A missing
// file is made with a fresh installation's other lines; a file that cannot
// be read or is damaged is not written (*error says why).
bool writePortNumber(int16_t portNumber, QString* error);

// How long a writer waits for another writer's lock before giving up.
inline constexpr int kSettingsLockWaitMs = 5000;
