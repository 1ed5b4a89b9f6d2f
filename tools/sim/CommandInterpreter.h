#pragma once

#include "Records.h"

#include <QString>
#include <QStringList>

namespace ktr6sim {

class SimDevice;

// The line commands a person types into a running simulator (see help()).
class CommandInterpreter {
public:
    // stream is what "start" and "rate" build on: the stream set on the command line.
    CommandInterpreter(SimDevice& device, StreamConfig stream);

    struct Result {
        bool ok = true;
        bool quit = false;
        QString text; // one or more lines, no trailing newline
    };
    Result execute(const QString& line);

    // Printed from the command table, as are the names the console knows.
    static QString help();
    static QStringList commandNames(); // without aliases such as "exit"

private:
    SimDevice& device_;
    StreamConfig stream_;
};

} // namespace ktr6sim
