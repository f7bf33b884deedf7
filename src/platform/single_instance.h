#pragma once
// One recorder per program folder: its journal and its day's workbooks have one writer. The
// first run takes a lock file in the folder and holds it until it ends; a lock left by a run
// that no longer exists (a crash, a kill, a power cut) is taken over. A second start finds the
// lock held, asks the running recorder to bring its window forward, and ends without touching
// the journal or the port.

#include <QLockFile>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;

namespace platform {

class SingleInstance {
public:
    explicit SingleInstance(const QString& folder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // The lock file's name in the folder (hidden).
    static QString fileName();

    // True when this run now holds the folder. When another recorder runs there, false; it
    // has then been asked to bring its window forward.
    bool acquire();
    // Lets the folder go (at the end of the run, which does not unwind).
    void release();
    // The lock file's path.
    QString path() const;

    // While this run holds the folder: `raise` runs on the UI thread whenever a second start
    // asks for the window.
    void onRaiseAsked(std::function<void()> raise);

private:
    QString m_folder;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace platform
