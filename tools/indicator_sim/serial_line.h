#pragma once

// The simulator's end of the line: the master side of a pseudo-terminal or a real serial device
// at 9600 8N1, raw. POSIX only; used by the executable, not by the frame library.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

namespace indicator_sim {

class SerialLine {
public:
    enum class Peer {
        Unknown,   // the wait was cut short by a signal
        Absent,    // nobody holds the pseudo-terminal's other side open
        Connected, // the other side is open (always so for a device)
    };

    // A new pseudo-terminal whose other side is in raw mode at 9600 baud.
    static std::unique_ptr<SerialLine> openPty(QString* error);
    static std::unique_ptr<SerialLine> openDevice(const QString& path, QString* error);

    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // The path the program opens: the pseudo-terminal's other side, or the device.
    QString peerPath() const { return m_peerPath; }

    // Waits up to `timeoutMs` for input or a change of the peer. Returns early on a signal.
    Peer wait(int timeoutMs, bool* readable);
    // Whatever is waiting, without blocking; empty when nothing is.
    QByteArray readAvailable();
    // Writes every byte, waiting for room as needed; false on an error or when `stop` is set.
    bool writeAll(const QByteArray& bytes, const std::atomic_bool& stop);

private:
    SerialLine(int fd, QString peerPath, bool pty);

    int m_fd = -1;
    QString m_peerPath;
    bool m_pty = false;
};

} // namespace indicator_sim
