#pragma once
// Builds a Form1 for a test from the test's own platform pieces and keeps pointers to them.

#include "app/form1.h"
#include "app/viewing_mode.h"
#include "doubles/fake_clock.h"
#include "doubles/scripted_dialog.h"
#include "doubles/scripted_messages.h"

#include <QTemporaryDir>

#include <memory>

namespace support {

struct FormHarness {
    QTemporaryDir folder;
    doubles::ScriptedMessages* messages = nullptr;
    doubles::FakeClock* clock = nullptr;
    doubles::ScriptedDialog* dialog = nullptr;
    std::unique_ptr<app::Form1> form;
    int ended = 0; // how often the program was ended at once
    // The viewings started, by path. A viewing runs here, in the test's process, as the
    // viewing process runs it; with `viewingsStart` false none can be started.
    QStringList viewings;
    bool viewingsStart = true;

    // `programFolder`: the program's folder, when not a fresh temp folder (a second run on the
    // folder of a first one).
    // `keepJournal`: false only to measure the window without its journal.
    explicit FormHarness(std::unique_ptr<platform::CommControl> comm,
                         const QString& programFolder = {}, bool keepJournal = true) {
        app::Platform p;
        p.comm = std::move(comm);
        auto m = std::make_unique<doubles::ScriptedMessages>();
        messages = m.get();
        p.messages = std::move(m);
        auto c = std::make_unique<doubles::FakeClock>();
        clock = c.get();
        p.clock = std::move(c);
        auto d = std::make_unique<doubles::ScriptedDialog>();
        dialog = d.get();
        p.dialog = std::move(d);
        p.programFolder = programFolder.isEmpty() ? folder.path() : programFolder;
        p.endProgram = [this] { ++ended; };
        p.startViewing = [this](const QString& path) {
            if (!viewingsStart)
                return false;
            viewings << path;
            app::showViewing(path, *messages);
            return true;
        };
        p.keepJournal = keepJournal;
        form = std::make_unique<app::Form1>(std::move(p));
    }

    app::Form1& operator*() { return *form; }
    app::Form1* operator->() { return form.get(); }
    QString display() const { return form->Label1[4]->caption(); }
    int displayColor() const { return form->Label1[4]->foreColor(); }
    QString status() const { return form->Label4->caption(); }
};

} // namespace support
