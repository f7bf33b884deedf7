#pragma once
// Wraps a serial-port control and hands every read to an observer, so a proof can tell
// exactly which bytes reached the window, without looking into the window.

#include "platform/comm_control.h"

#include <functional>
#include <memory>

namespace doubles {

class RecordingCommControl final : public platform::CommControl {
    Q_OBJECT
public:
    explicit RecordingCommControl(std::unique_ptr<platform::CommControl> inner)
        : m_inner(std::move(inner)) {
        connect(m_inner.get(), &CommControl::OnComm, this, &CommControl::OnComm);
    }
    std::function<void(const QByteArray&)> onInput;

    void setSettings(const QString& s) override { m_inner->setSettings(s); }
    void setCommPort(std::int16_t p) override { m_inner->setCommPort(p); }
    void setPortOpen(bool o) override { m_inner->setPortOpen(o); }
    bool portOpen() const override { return m_inner->portOpen(); }
    void setInputMode(std::int16_t m) override { m_inner->setInputMode(m); }
    void setInputLen(std::int16_t l) override { m_inner->setInputLen(l); }
    void setRThreshold(std::int16_t t) override { m_inner->setRThreshold(t); }
    void setInBufferCount(std::int16_t c) override { m_inner->setInBufferCount(c); }
    std::int16_t inBufferCount() const override { return m_inner->inBufferCount(); }
    void setOutBufferCount(std::int16_t c) override { m_inner->setOutBufferCount(c); }
    QByteArray input() override {
        QByteArray bytes = m_inner->input();
        if (onInput)
            onInput(bytes);
        return bytes;
    }
    void output(const QByteArray& b) override { m_inner->output(b); }
    std::int16_t commEvent() const override { return m_inner->commEvent(); }
    void setNotificationsHeld(bool h) override { m_inner->setNotificationsHeld(h); }

private:
    std::unique_ptr<platform::CommControl> m_inner;
};

} // namespace doubles
