#include "platform/blocked_close.h"

#include <QAbstractNativeEventFilter>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace platform {
namespace {

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (reply == nullptr)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

class BlockedCloseFilter final : public QAbstractNativeEventFilter {
public:
    BlockedCloseFilter(QWidget* window, xcb_atom_t deleteWindow, std::function<void()> closeAsked)
        : m_window(window), m_deleteWindow(deleteWindow), m_closeAsked(std::move(closeAsked)) {}

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || m_window.isNull())
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->format != 32 || client->data.data32[0] != m_deleteWindow ||
            client->window != static_cast<xcb_window_t>(m_window->winId()))
            return false;
        // Qt hands the request on itself unless a modal box blocks the window.
        const QWindow* modal = QGuiApplication::modalWindow();
        if (modal != nullptr && modal != m_window->windowHandle())
            m_closeAsked();
        return false;
    }

private:
    QPointer<QWidget> m_window;
    xcb_atom_t m_deleteWindow;
    std::function<void()> m_closeAsked;
};

} // namespace

void watchBlockedClose(QWidget* window, std::function<void()> closeAsked) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr)
        return;
    const xcb_atom_t deleteWindow = internAtom(x11->connection(), "WM_DELETE_WINDOW");
    if (deleteWindow == XCB_ATOM_NONE)
        return;
    auto* filter = new BlockedCloseFilter(window, deleteWindow, std::move(closeAsked));
    qGuiApp->installNativeEventFilter(filter);
    QObject::connect(window, &QObject::destroyed, qGuiApp, [filter] {
        qGuiApp->removeNativeEventFilter(filter);
        delete filter;
    });
}

} // namespace platform
