#pragma once
// The service's local control socket: one request line from ktr6ctl
// ("status", "pause NAME", "resume NAME"), one JSON line back. Only root and
// the dialout group may connect (the socket is 0660, group dialout).

#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <functional>

class ControlServer : public QObject {
    Q_OBJECT
public:
    using Reply = std::function<void(const QJsonObject& answer)>;
    // Handles one request; calls reply once, now or later.
    using Handler = std::function<void(const QString& request, Reply reply)>;

    static constexpr qint64 kMaxRequest = 4096;

    explicit ControlServer(Handler handler, QObject* parent = nullptr);
    // Listens at path (a socket left by a killed service is replaced).
    bool listen(const QString& path, QString* error);

private:
    void onConnection();

    Handler handler_;
    QLocalServer server_;
};
