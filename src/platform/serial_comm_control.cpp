#include "platform/serial_comm_control.h"

#include "platform/failure.h"
#include "platform/port_lock.h"

#include <QStringList>
#include <QTimer>

namespace platform {

SerialCommControl::SerialCommControl(QString com1Device, QObject* parent)
    : CommControl(parent), m_com1(std::move(com1Device)) {
    connect(&m_port, &QSerialPort::readyRead, this, &SerialCommControl::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialCommControl::onError);
}

SerialCommControl::~SerialCommControl() = default;

QString SerialCommControl::deviceFor(std::int16_t port) const {
    if (port == 1)
        return m_com1;
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

SerialCommControl::LineSettings SerialCommControl::parseSettings(const QString& settings) {
    const QStringList parts = settings.split(QLatin1Char(','));
    auto bad = [&] { return Failure("invalid port settings \"" + settings.toStdString() + "\""); };
    if (parts.size() != 4)
        throw bad();
    LineSettings s;
    bool ok = false;
    s.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || s.baud <= 0)
        throw bad();
    const QString parity = parts[1].trimmed().toLower();
    if (parity == QLatin1String("n"))
        s.parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("e"))
        s.parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("o"))
        s.parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("m"))
        s.parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("s"))
        s.parity = QSerialPort::SpaceParity;
    else
        throw bad();
    const int data = parts[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        throw bad();
    s.dataBits = static_cast<QSerialPort::DataBits>(data);
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        s.stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        s.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        s.stopBits = QSerialPort::TwoStop;
    else
        throw bad();
    return s;
}

void SerialCommControl::applySettings() {
    if (!m_port.setBaudRate(m_settings.baud) || !m_port.setParity(m_settings.parity) ||
        !m_port.setDataBits(m_settings.dataBits) || !m_port.setStopBits(m_settings.stopBits))
        throw Failure("the port refused its settings: " + m_port.errorString().toStdString());
}

void SerialCommControl::setSettings(const QString& settings) {
    m_settings = parseSettings(settings);
    if (m_port.isOpen())
        applySettings();
}

void SerialCommControl::setCommPort(std::int16_t port) {
    if (port < 1)
        throw Failure("invalid port number");
    if (m_port.isOpen())
        throw Failure("the port is already open");
    m_commPort = port;
}

void SerialCommControl::setPortOpen(bool open) {
    if (!open) {
        if (!m_port.isOpen())
            throw Failure("the port is not open");
        m_port.close();
        return;
    }
    if (m_port.isOpen())
        throw Failure("the port is already open");
    m_port.setPortName(deviceFor(m_commPort));
    m_opening = true;
    const bool ok = m_port.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!ok) {
        if (std::optional<StaleLock> lock = staleLock(deviceFor(m_commPort)))
            throw StaleLockFailure(std::move(*lock));
        throw Failure(m_port.portName().toStdString() + ": " + m_port.errorString().toStdString());
    }
    m_lost = false;
    try {
        applySettings();
    } catch (...) {
        m_port.close();
        throw;
    }
    m_port.clear();
}

bool SerialCommControl::portOpen() const {
    return m_port.isOpen();
}

void SerialCommControl::setInputMode(std::int16_t mode) {
    if (mode != 0 && mode != 1)
        throw Failure("invalid input mode");
}

void SerialCommControl::setInputLen(std::int16_t length) {
    if (length < 0)
        throw Failure("invalid input length");
    m_inputLen = length;
}

void SerialCommControl::setRThreshold(std::int16_t threshold) {
    if (threshold < 0)
        throw Failure("invalid receive threshold");
    m_rThreshold = threshold;
    raiseIfDue();
}

void SerialCommControl::requireOpen(const char* what) const {
    if (!m_port.isOpen())
        throw Failure(std::string(what) +
                      (m_lost ? ": the port's device was lost" : ": the port is not open"));
}

void SerialCommControl::setInBufferCount(std::int16_t count) {
    requireOpen("clearing the receive buffer");
    if (count != 0)
        throw Failure("the receive buffer count can only be set to 0");
    m_port.clear(QSerialPort::Input);
}

std::int16_t SerialCommControl::inBufferCount() const {
    if (!m_port.isOpen())
        return 0;
    return static_cast<std::int16_t>(qMin<qint64>(m_port.bytesAvailable(), INT16_MAX));
}

void SerialCommControl::setOutBufferCount(std::int16_t count) {
    requireOpen("clearing the send buffer");
    if (count != 0)
        throw Failure("the send buffer count can only be set to 0");
    m_port.clear(QSerialPort::Output);
}

QByteArray SerialCommControl::input() {
    requireOpen("reading the port");
    const qint64 waiting = m_port.bytesAvailable();
    const qint64 n = m_inputLen == 0 ? waiting : qMin<qint64>(m_inputLen, waiting);
    QByteArray bytes = m_port.read(n);
    if (bytes.size() != n)
        throw Failure("reading the port failed: " + m_port.errorString().toStdString());
    return bytes;
}

void SerialCommControl::output(const QByteArray& bytes) {
    requireOpen("writing to the port");
    if (m_port.write(bytes) != bytes.size())
        throw Failure("writing to the port failed: " + m_port.errorString().toStdString());
    m_port.flush();
}

std::int16_t SerialCommControl::commEvent() const {
    return m_event;
}

void SerialCommControl::setNotificationsHeld(bool held) {
    m_held = held;
    if (held)
        return;
    if (m_lostPending) {
        m_lostPending = false;
        QTimer::singleShot(0, this, [this] { notifyLost(); });
        return;
    }
    scheduleRaise();
}

void SerialCommControl::onReadyRead() {
    if (!m_held)
        raiseIfDue();
}

void SerialCommControl::raiseIfDue() {
    if (m_held || m_rThreshold <= 0 || !m_port.isOpen() || m_port.bytesAvailable() < m_rThreshold)
        return;
    m_event = comEvReceive;
    emit OnComm();
    // Qt does not signal bytes that arrived while the handler ran; look again afterwards.
    scheduleRaise();
}

void SerialCommControl::scheduleRaise() {
    if (m_raiseScheduled || m_held || m_rThreshold <= 0 || !m_port.isOpen() ||
        m_port.bytesAvailable() < m_rThreshold)
        return;
    m_raiseScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_raiseScheduled = false;
        raiseIfDue();
    });
}

void SerialCommControl::onError(QSerialPort::SerialPortError error) {
    // Qt reports NoError when a port opens, and open failures are thrown by setPortOpen.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError || m_opening ||
        m_lost || !m_port.isOpen())
        return;
    // The device failed (unplugged, or the far end of the line gone). Qt would report the
    // same error for every further read attempt, growing its read buffer each time: close
    // the port at once so reading stops, then notify the link, whose read of the closed
    // port takes its failure path.
    m_lost = true;
    m_port.close();
    QTimer::singleShot(0, this, [this] {
        if (m_held)
            m_lostPending = true;
        else
            notifyLost();
    });
}

void SerialCommControl::notifyLost() {
    m_event = comEvReceive;
    emit OnComm();
}

} // namespace platform
