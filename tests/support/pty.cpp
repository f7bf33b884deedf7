#include "support/pty.h"

#include <QElapsedTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace support {

Pty::Pty() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    m_slave = QString::fromLocal8Bit(ptsname(m_master));
    // Raw both ways, so frames pass byte for byte.
    m_keepSlave = ::open(m_slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    termios t{};
    if (m_keepSlave >= 0 && tcgetattr(m_keepSlave, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(m_keepSlave, TCSANOW, &t);
    }
}

Pty::~Pty() {
    closeMaster();
    if (m_keepSlave >= 0)
        ::close(m_keepSlave);
}

void Pty::closeMaster() {
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void Pty::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_master, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("pty write failed");
        done += n;
    }
}

QByteArray Pty::read(int ms, qsizetype want) {
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms && (want < 0 || out.size() < want)) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(qMax<qint64>(1, ms - timer.elapsed()))) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

} // namespace support
