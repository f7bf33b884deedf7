#pragma once
// The serial-port control the indicator link works through. Each operation either does what
// it promises or throws platform::Failure; the link catches where it has to.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

namespace platform {

class CommControl : public QObject {
    Q_OBJECT
public:
    // Event code of a notification raised because RThreshold bytes were waiting.
    static constexpr std::int16_t comEvReceive = 2;

    using QObject::QObject;

    // "baud,parity,data,stop", e.g. "9600,n,8,1"; applied when the port opens (at once when
    // it is open). A text that does not parse is a failure.
    virtual void setSettings(const QString& settings) = 0;
    // The port number for the next open; 1 is the first serial port. A failure while open.
    virtual void setCommPort(std::int16_t port) = 0;
    // Opens (a failure when missing, already open or in use; a StaleLockFailure when a lock
    // left by a program that no longer runs keeps it closed) or closes the port.
    virtual void setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;
    // 1: Input hands over raw bytes. 0 (text) is accepted and behaves the same here.
    virtual void setInputMode(std::int16_t mode) = 0;
    // The most bytes one Input hands over; 0 means all waiting.
    virtual void setInputLen(std::int16_t length) = 0;
    // A receive notification is raised once this many bytes wait; 0 turns it off.
    virtual void setRThreshold(std::int16_t threshold) = 0;
    // Setting 0 discards every received byte not yet read. A failure when the port is closed.
    virtual void setInBufferCount(std::int16_t count) = 0;
    virtual std::int16_t inBufferCount() const = 0;
    // Setting 0 discards every byte queued but not yet sent.
    virtual void setOutBufferCount(std::int16_t count) = 0;
    // The waiting bytes, oldest first, at most InputLen of them, removed from the buffer.
    virtual QByteArray input() = 0;
    // Queues every byte for sending, in order.
    virtual void output(const QByteArray& bytes) = 0;
    // The code of the event being notified.
    virtual std::int16_t commEvent() const = 0;

    // Delivery of notifications, kept out of the handler while the window is busy with an
    // event (a modal box runs a nested event loop): while held, OnComm is not raised and the
    // bytes stay buffered; on release it is raised again when RThreshold or more bytes wait.
    virtual void setNotificationsHeld(bool held) = 0;

signals:
    void OnComm();
};

} // namespace platform
