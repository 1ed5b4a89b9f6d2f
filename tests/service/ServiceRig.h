#pragma once
// ktr6d as a process over simulated relays linked as comN in one program
// folder, with its configuration and database there too, and ktr6ctl counts
// to read what it stored.

#include "../e2e/CtlRig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <map>
#include <memory>

class ServiceRig {
public:
    ~ServiceRig() {
        if (service.state() != QProcess::NotRunning) {
            service.kill();
            service.waitForFinished(3000);
        }
        for (auto& sim : sims)
            sim->stop();
    }

    ktr6sim::SimDevice& addSim(int port, ktr6sim::SimConfig config = {}) {
        sims.push_back(std::make_unique<ktr6sim::SimDevice>(std::move(config)));
        started = sims.back()->start(dir.path(), QStringLiteral("com%1").arg(port)) && started;
        return *sims.back();
    }
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }

    // Starts ktr6d on the configuration text.
    bool start(const QByteArray& config) {
        if (!writeFile(path("ktr6d.conf"), config))
            return false;
        log.clear();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), dir.path());
        service.setProcessEnvironment(env);
        service.start(binary("ktr6d"),
                      {QStringLiteral("--config"), path("ktr6d.conf"), QStringLiteral("--database"),
                       path("counts.sqlite"), QStringLiteral("--socket"), path("ktr6d.sock")});
        return service.waitForStarted(5000);
    }
    // Waits until the service has logged text `times` times since it started.
    bool waitForLog(const QByteArray& text, int times = 1, int timeoutMs = 8000) {
        QElapsedTimer timer;
        timer.start();
        while (log.count(text) < times && timer.elapsed() < timeoutMs &&
               service.state() == QProcess::Running) {
            service.waitForReadyRead(50);
            log += service.readAllStandardError();
        }
        log += service.readAllStandardError();
        return log.count(text) >= times;
    }

    // ktr6ctl counts --json on the database: {relay/channel: {count, last total}}.
    struct Sum {
        qint64 count = 0;
        double total = 0;
    };
    std::map<QString, Sum> sums(CtlResult* result = nullptr) {
        const CtlResult run =
            runCtl(dir.path(), {QStringLiteral("counts"), QStringLiteral("--json"),
                                QStringLiteral("--database"), path("counts.sqlite")});
        if (result)
            *result = run;
        std::map<QString, Sum> sums;
        for (const QJsonValue& row : QJsonDocument::fromJson(run.out).array()) {
            const QJsonObject o = row.toObject();
            Sum& sum = sums[o[QLatin1String("relay")].toString() + QLatin1Char('/') +
                            QString::number(o[QLatin1String("channel")].toInt())];
            sum.count += o[QLatin1String("count")].toInteger();
            sum.total = o[QLatin1String("total")].toDouble();
        }
        return sums;
    }
    // Polls the sums until channel `key` has counted `count` records.
    std::map<QString, Sum> waitForCount(const QString& key, qint64 count, int timeoutMs = 8000) {
        QElapsedTimer timer;
        timer.start();
        std::map<QString, Sum> now = sums();
        while (now[key].count < count && timer.elapsed() < timeoutMs) {
            QTest::qWait(200);
            now = sums();
        }
        return now;
    }

    // ktr6ctl service ACTION [NAME] on the rig's socket.
    CtlResult control(QStringList args) {
        return runCtl(dir.path(), QStringList{QStringLiteral("service")}
                                      << args << QStringLiteral("--socket") << path("ktr6d.sock"));
    }
    // The relay's object in service status --json.
    QJsonObject status(const QString& relay) {
        const CtlResult run = control({QStringLiteral("status"), QStringLiteral("--json")});
        for (const QJsonValue& value : QJsonDocument::fromJson(run.out).array()) {
            if (value.toObject()[QLatin1String("relay")].toString() == relay)
                return value.toObject();
        }
        return {};
    }

    // One value of an SQL query on the database, opened beside the service.
    QVariant sql(const QString& query) {
        QVariant value;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "rig");
            db.setDatabaseName(path("counts.sqlite"));
            QSqlQuery q(db);
            if (db.open() && q.exec(query) && q.next())
                value = q.value(0);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("rig"));
        return value;
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<ktr6sim::SimDevice>> sims;
    bool started = true;
    QProcess service;
    QByteArray log; // what the service wrote to stderr
};
