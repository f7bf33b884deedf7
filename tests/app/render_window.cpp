// Renders the window as an operator sees it after a few weighings into a PNG (the picture
// in the README): render_window OUT.png
// With --view it renders the viewer window of a workbook instead, at a width and height in
// pixels, on one of its sheets scrolled down a number of rows:
// render_window --view FILE.xls OUT.png [WIDTH HEIGHT [SHEET [ROWS]]]

#include "app/viewing_mode.h"
#include "app/workbook_viewer.h"
#include "doubles/fake_comm_control.h"
#include "doubles/scripted_messages.h"
#include "support/form_harness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

namespace {

int renderViewer(const QStringList& args) {
    doubles::ScriptedMessages messages;
    records::WorkbookViewer* viewer = app::showViewing(args.value(2), messages);
    if (viewer == nullptr)
        return 1;
    if (args.size() > 5)
        viewer->resize(args[4].toInt(), args[5].toInt());
    if (args.size() > 6)
        viewer->tabs()->setCurrentIndex(args[6].toInt());
    if (args.size() > 7)
        QTimer::singleShot(100, [viewer, args] {
            viewer->sheetView(viewer->tabs()->currentIndex())
                ->verticalScrollBar()
                ->setValue(args[7].toInt());
        });
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QCoreApplication::processEvents();
    return viewer->grab().save(args.value(3)) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (QApplication::arguments().value(1) == QStringLiteral("--view"))
        return renderViewer(QApplication::arguments());
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
