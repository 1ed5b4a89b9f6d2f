// Another program that holds the relay's port: it opens port N of a program
// directory with the same port object the tool uses, says "held" (or
// "refused CODE"), and keeps the port until its standard input ends.

#include "core/Seams.h"
#include "serial/QtSerialComm.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PROGRAM-DIR PORT-NUMBER\n", argv[0]);
        return 2;
    }
    seams::setProgramDirectory(QString::fromLocal8Bit(argv[1]));
    QtSerialComm port;
    try {
        port.CommPort(static_cast<int16_t>(QByteArray(argv[2]).toInt()));
        port.PortOpen(true);
    } catch (const comm::CommError& error) {
        std::printf("refused %d\n", error.code());
        std::fflush(stdout);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    port.PortOpen(false);
    return 0;
}
