// Renders the window as an operator sees it after a few weighings into a PNG (the picture
// in the README): render_window OUT.png

#include "doubles/fake_comm_control.h"
#include "support/form_harness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    auto comm = std::make_unique<doubles::FakeCommControl>();
    auto* port = comm.get();
    support::FormHarness h(std::move(comm));
    h.clock->time = QDateTime(QDate(2026, 12, 7), QTime(9, 41, 26));
    h->start();
    h->Text1[1]->setText("浙A·12345");
    const QByteArray body = "AB+1538051"; // 15380.5 kg
    int x = 0;
    for (char c : body)
        x ^= static_cast<unsigned char>(c);
    port->received =
        "\x02" + body + QByteArray::number(x, 16).toUpper().rightJustified(2, '0') + "\x03";
    port->raise();
    h->Text1[0]->setText("12560");
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents();
    const QString out = argc > 1 ? argv[1] : "window.png";
    return h->grab().save(out) ? 0 : 1;
}
