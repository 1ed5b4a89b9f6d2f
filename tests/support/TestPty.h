#pragma once
// A pseudo-terminal for tests: the test holds the master side and acts as
// the device; the slave side is linked as comN in a directory, where the
// port object finds it.

#include <QByteArray>
#include <QString>

class TestPty {
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master_ >= 0; }
    QString slavePath() const { return slavePath_; }
    // Creates dir/name as a symbolic link to the slave device.
    bool linkAs(const QString& dir, const QString& name);
    // Device side: send bytes to the program / read what it sent, waiting up
    // to timeoutMs for at least `atLeast` bytes.
    bool send(const QByteArray& bytes);
    QByteArray receive(int atLeast, int timeoutMs);
    // Closes the master: the program's side sees the device vanish.
    void hangUp();

private:
    int master_ = -1;
    int slaveKeeper_ = -1; // keeps the line up while the program closes its side
    QString slavePath_;
};
