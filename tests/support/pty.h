#pragma once
// A pseudo-terminal pair for tests: the program opens the slave path as its serial port,
// the test plays the indicator on the master side.

#include <QByteArray>
#include <QString>

namespace support {

class Pty {
public:
    Pty();  // throws std::runtime_error when no pty can be had
    ~Pty(); // closes the master: the slave side sees its device gone
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    QString slavePath() const { return m_slave; }
    void write(const QByteArray& bytes);
    // Reads what the program sent within `ms` milliseconds (stops early at `want` bytes).
    QByteArray read(int ms, qsizetype want = -1);
    void closeMaster();

private:
    int m_master = -1;
    int m_keepSlave = -1; // keeps the slave alive between the program's opens
    QString m_slave;
};

} // namespace support
