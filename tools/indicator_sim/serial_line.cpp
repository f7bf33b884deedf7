#include "serial_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace indicator_sim {

namespace {

QString systemError(const QString& what) {
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

// 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control, no echo, no line editing.
bool makeRaw9600(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

SerialLine::SerialLine(int fd, QString peerPath, bool pty)
    : m_fd(fd), m_peerPath(std::move(peerPath)), m_pty(pty) {}

SerialLine::~SerialLine() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::unique_ptr<SerialLine> SerialLine::openPty(QString* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0) {
        *error = systemError(QStringLiteral("posix_openpt"));
        return nullptr;
    }
    std::unique_ptr<SerialLine> line(new SerialLine(master, QString(), true));
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        *error = systemError(QStringLiteral("grantpt/unlockpt"));
        return nullptr;
    }
    char name[256] = {};
    if (ptsname_r(master, name, sizeof name) != 0) {
        *error = systemError(QStringLiteral("ptsname"));
        return nullptr;
    }
    line->m_peerPath = QString::fromLocal8Bit(name);
    // The line settings belong to the other side; set them through a short-lived handle.
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        *error = systemError(QStringLiteral("open ") + line->m_peerPath);
        return nullptr;
    }
    const bool raw = makeRaw9600(slave);
    ::close(slave);
    if (!raw) {
        *error = systemError(QStringLiteral("raw mode on ") + line->m_peerPath);
        return nullptr;
    }
    return line;
}

std::unique_ptr<SerialLine> SerialLine::openDevice(const QString& path, QString* error) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = systemError(QStringLiteral("open ") + path);
        return nullptr;
    }
    std::unique_ptr<SerialLine> line(new SerialLine(fd, path, false));
    if (!makeRaw9600(fd)) {
        *error = systemError(QStringLiteral("9600 8N1 on ") + path);
        return nullptr;
    }
    return line;
}

SerialLine::Peer SerialLine::wait(int timeoutMs, bool* readable) {
    *readable = false;
    pollfd p{m_fd, POLLIN, 0};
    const int n = ::poll(&p, 1, timeoutMs);
    if (n < 0)
        return Peer::Unknown;
    if (n == 0)
        return Peer::Connected; // a master without a peer would have reported a hang-up
    if (m_pty && (p.revents & POLLHUP)) {
        // A master without an open other side reports a hang-up at once on every poll; wait
        // here so that the caller does not spin until the peer opens.
        if (timeoutMs > 0)
            ::poll(nullptr, 0, std::min(timeoutMs, 20));
        return Peer::Absent;
    }
    *readable = (p.revents & POLLIN) != 0;
    return Peer::Connected;
}

QByteArray SerialLine::readAvailable() {
    QByteArray all;
    char buf[512];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break;
        all.append(buf, n);
    }
    return all;
}

bool SerialLine::writeAll(const QByteArray& bytes, const std::atomic_bool& stop) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        if (stop)
            return false;
        const ssize_t n =
            ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
        if (m_pty && (p.revents & POLLHUP))
            return false;
    }
    return true;
}

} // namespace indicator_sim
