#pragma once
// The serial-port control on QSerialPort.

#include "platform/comm_control.h"

#include <QSerialPort>

namespace platform {

class SerialCommControl final : public CommControl {
    Q_OBJECT
public:
    // `com1Device` is the device that port number 1 stands for.
    explicit SerialCommControl(QString com1Device, QObject* parent = nullptr);
    ~SerialCommControl() override;

    void setSettings(const QString& settings) override;
    void setCommPort(std::int16_t port) override;
    void setPortOpen(bool open) override;
    bool portOpen() const override;
    void setInputMode(std::int16_t mode) override;
    void setInputLen(std::int16_t length) override;
    void setRThreshold(std::int16_t threshold) override;
    void setInBufferCount(std::int16_t count) override;
    std::int16_t inBufferCount() const override;
    void setOutBufferCount(std::int16_t count) override;
    QByteArray input() override;
    void output(const QByteArray& bytes) override;
    std::int16_t commEvent() const override;
    void setNotificationsHeld(bool held) override;

    // The device a port number stands for on this host.
    QString deviceFor(std::int16_t port) const;

private:
    struct LineSettings {
        qint32 baud = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits dataBits = QSerialPort::Data8;
        QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    };
    static LineSettings parseSettings(const QString& settings);
    void applySettings();
    void requireOpen(const char* what) const;
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void raiseIfDue();
    void scheduleRaise();
    void notifyLost();

    QString m_com1;
    QSerialPort m_port;
    LineSettings m_settings;
    std::int16_t m_commPort = 1;
    std::int16_t m_inputLen = 0;
    std::int16_t m_rThreshold = 0;
    std::int16_t m_event = 0;
    bool m_held = false;
    bool m_raiseScheduled = false;
    bool m_lost = false; // the device failed; reads stop until the port is opened again
    bool m_lostPending = false;
    bool m_opening = false;
};

} // namespace platform
