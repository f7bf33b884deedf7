#pragma once
// A serial-port control fed by the test: bytes are pushed in, notifications raised on
// demand, and any operation can be made to fail.

#include "platform/comm_control.h"
#include "platform/failure.h"

#include <QSet>
#include <QStringList>

namespace doubles {

class FakeCommControl final : public platform::CommControl {
    Q_OBJECT
public:
    using CommControl::CommControl;

    // Operation names that throw: "Settings", "CommPort", "PortOpen", "InputMode",
    // "InputLen", "RThreshold", "InBufferCount", "OutBufferCount", "Input", "Output".
    // "PortOpen:stale": the open fails on a lock of root's left by an ended program.
    QSet<QString> failing;
    QStringList calls;   // every operation in order, e.g. "RThreshold=14"
    QByteArray received; // bytes waiting to be read
    QByteArray sent;
    std::int16_t event = comEvReceive;
    bool open = false;
    std::int16_t inputLen = 0;
    std::int16_t threshold = 0;
    bool held = false;

    // Raises one notification with the given event code, as the port would.
    void raise(std::int16_t code = comEvReceive) {
        event = code;
        emit OnComm();
    }

    void setSettings(const QString& s) override { op("Settings", s); }
    void setCommPort(std::int16_t p) override { op("CommPort", QString::number(p)); }
    void setPortOpen(bool o) override {
        op("PortOpen", o ? "true" : "false");
        if (o && failing.contains("PortOpen:stale"))
            throw platform::StaleLockFailure({"/run/lock/LCK..weighbridge-com1", "root", 4242});
        open = o;
    }
    bool portOpen() const override { return open; }
    void setInputMode(std::int16_t m) override { op("InputMode", QString::number(m)); }
    void setInputLen(std::int16_t l) override {
        op("InputLen", QString::number(l));
        inputLen = l;
    }
    void setRThreshold(std::int16_t t) override {
        op("RThreshold", QString::number(t));
        threshold = t;
    }
    void setInBufferCount(std::int16_t c) override {
        op("InBufferCount", QString::number(c));
        received.clear();
    }
    std::int16_t inBufferCount() const override {
        return static_cast<std::int16_t>(received.size());
    }
    void setOutBufferCount(std::int16_t c) override { op("OutBufferCount", QString::number(c)); }
    QByteArray input() override {
        op("Input", {});
        const qsizetype n =
            inputLen == 0 ? received.size() : qMin<qsizetype>(inputLen, received.size());
        QByteArray out = received.left(n);
        received.remove(0, n);
        return out;
    }
    void output(const QByteArray& bytes) override {
        op("Output", QString::fromLatin1(bytes.toHex(' ')));
        sent += bytes;
    }
    std::int16_t commEvent() const override { return event; }
    void setNotificationsHeld(bool h) override { held = h; }

private:
    void op(const char* name, const QString& value) {
        const QString n = QString::fromLatin1(name);
        calls << (value.isEmpty() ? n : n + "=" + value);
        if (failing.contains(n))
            throw platform::Failure(std::string(name) + " failed");
    }
};

} // namespace doubles
