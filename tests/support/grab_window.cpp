// Saves what an X window shows (its contents, as drawn on the display) to a PNG: the
// screenshots of the documentation are taken with it under a virtual display.
// usage: grab_window WINDOW_ID OUT.png      (WINDOW_ID in decimal or 0x hexadecimal; 0: the screen)

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    if (argc != 3) {
        std::fputs("usage: grab_window WINDOW_ID OUT.png\n", stderr);
        return 2;
    }
    bool ok = false;
    const WId window = QString::fromLocal8Bit(argv[1]).toULongLong(&ok, 0);
    if (!ok)
        return 2;
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(window);
    return !shot.isNull() && shot.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
