#pragma once
// A real mosquitto broker on a free loopback port (persistence in a folder of
// the test's), and mosquitto_sub as the consumer: the broker test and the
// service's end-to-end test share them.

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

inline bool listening(int port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(200);
}

class Broker {
public:
    explicit Broker(QString dir) : dir_(std::move(dir)) {
        QTcpServer free;
        if (free.listen(QHostAddress::LocalHost))
            port = free.serverPort();
    }
    ~Broker() {
        process.kill();
        process.waitForFinished(5000);
    }
    // Started (again, on the same port and persistence), and listening.
    bool start() {
        QFile conf(dir_ + QStringLiteral("/mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                  "persistence_location %2/\n")
                       .arg(port)
                       .arg(dir_)
                       .toUtf8());
        conf.close();
        process.start("mosquitto", {"-c", conf.fileName()});
        for (int i = 0; i < 50 && !listening(port); ++i)
            QTest::qWait(50);
        return listening(port);
    }
    // Ended as an administrator ends it: its sessions are saved.
    bool stop() {
        process.terminate();
        return process.waitForFinished(5000);
    }

    int port = 0;
    QProcess process;

private:
    QString dir_;
};

// A process's output lines as they come, or its whole output once it ended.
struct Lines {
    QStringList lines;
    QProcess process;
    explicit Lines(const QStringList& args) {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                lines.append(QString::fromUtf8(process.readLine()).trimmed());
        });
        process.start("mosquitto_sub", QStringList{"-h", "127.0.0.1", "-v"} + args);
    }
    ~Lines() {
        process.disconnect();
        process.kill();
        process.waitForFinished(3000);
    }
    QStringList on(const QString& topic) const {
        return lines.filter(QRegularExpression("^" + topic + " "));
    }
};

// What a consumer that comes now gets: the retained messages, up to count.
inline QStringList retainedMessages(int port, const QStringList& topics, int count) {
    QStringList args{"-p", QString::number(port), "-C", QString::number(count), "-W", "5"};
    for (const QString& topic : topics)
        args << "-t" << topic;
    Lines late(args);
    late.process.waitForFinished(8000);
    return late.lines;
}
