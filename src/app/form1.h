#pragma once
// Form1: the recorder's one window. It owns every control and every piece of state; its
// procedures are short adapters that read the controls, ask the cores (link/, records/,
// workbook/) and apply their answers. They are spread over this folder:
//   form1.cpp              layout, start-up, focus, the event gate
//   serial_port.cpp        Comm_Load, Comm_Open, Comm_Close
//   command_mode.cpp       YH_ZhiLing, YH_ZhiLing_Send, MSComm1_OnComm, YH_ZhiLing_Read
//   continuous_mode.cpp    YH_LianXv, YH_LianXv_Read (not invoked by the window)
//   entry_fields.cpp       Text1_Change, Label1_Change, Label3_Change, Label4_Change
//   record_capture.cpp     Command1_Click, Command4_Click
//   workbook_store.cpp     Save_date
//   workbook_viewing.cpp   Command3_Click, File_Open
//   exit.cpp               Command2_Click, Form_Unload, the end on termination
//   held_rows.cpp          the journal of held rows: recovery, appends, the store's marks
// Everything runs on the UI thread. Asynchronous events (serial notifications, timer ticks,
// clicks) go through runEvent, which handles them one at a time: one that arrives while
// another is still running (inside a modal box's nested loop) waits until it has returned.

#include "app/vb_label.h"
#include "link/frame.h"
#include "link/readers.h"
#include "platform/clock.h"
#include "platform/comm_control.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QLineEdit;
namespace records {
class Journal;
struct StoreNotice;
} // namespace records
class QPushButton;
class QTimer;

namespace app {

// What the window needs from the outside world; tests hand in their own pieces.
struct Platform {
    std::unique_ptr<platform::CommControl> comm;
    std::unique_ptr<platform::MessageBoxes> messages;
    std::unique_ptr<platform::Clock> clock;
    std::unique_ptr<platform::FileDialog> dialog;
    QString programFolder;
    // Ends the process at once, without the close event (the real one never returns).
    std::function<void()> endProgram;
    // Starts a viewing of the workbook at a path, in a process of its own; false when it
    // could not be started.
    std::function<bool(const QString& path)> startViewing;
    // Held rows are also written to a journal in the program's folder (off only for
    // measurements of the notification path without it).
    bool keepJournal = true;
};

// Text colours of the big weight display, red in the low byte.
inline constexpr std::int32_t kColorRed = indicator::kDisplayRed;
inline constexpr std::int32_t kColorGreen = indicator::kDisplayGreen;

inline constexpr int kRecSlots = 10001;

class Form1 final : public QWidget {
    Q_OBJECT
public:
    explicit Form1(Platform platform, QWidget* parent = nullptr);
    ~Form1() override;

    // Loads the window (Form_Load) and shows it.
    void start();

    // --- controls -----------------------------------------------------------------------
    std::array<VbLabel*, 6> Label1{};  // 0-2 captions, 3 date, 4 weight display, 5 time
    std::array<VbLabel*, 3> Label2{};  // information lines
    VbLabel* Label3 = nullptr;         // raw-frame line of the continuous mode
    VbLabel* Label4 = nullptr;         // status line
    VbLabel* Label5 = nullptr;         // organisation line
    std::array<QLineEdit*, 3> Text1{}; // 0 tare, 1 vehicle number, 2 net
    QPushButton* Command1 = nullptr;   // 记录
    QPushButton* Command2 = nullptr;   // 退出
    QPushButton* Command3 = nullptr;   // 查看
    QPushButton* Command4 = nullptr;   // 保存
    QTimer* Timer1 = nullptr;
    QTimer* Timer3 = nullptr;
    QTimer* Timer4 = nullptr;
    platform::CommControl* MSComm1 = nullptr;
    platform::FileDialog* CommonDialog1 = nullptr;

    // --- state --------------------------------------------------------------------------
    double Weight_Value = 0;
    bool Change_Flag = false;
    std::int16_t Frame_Len = 0;
    indicator::RecvBuffer Recv_Buf{};
    std::array<std::uint8_t, 6> Send_Buf{};
    // The record store: six columns of exactly kRecSlots slots, never resized.
    std::vector<QString> Rec_Date, Rec_Time, Rec_CarNo, Rec_Gross, Rec_Tare, Rec_Net;
    std::int32_t Rec_Count = 0;

    // --- procedures ---------------------------------------------------------------------
    void Form_Load();
    void Form_GotFocus();

    void Comm_Load();
    void Comm_Open();
    void Comm_Close();

    void YH_ZhiLing();
    void YH_ZhiLing_Send();
    void MSComm1_OnComm();
    void YH_ZhiLing_Read();
    void YH_LianXv();
    void YH_LianXv_Read();

    void Text1_Change(std::int16_t index);
    void Label1_Change(std::int16_t index);
    void Label3_Change();
    void Label4_Change();

    void Timer1_Timer();
    void Timer3_Timer() {}
    void Timer4_Timer();

    void Command1_Click();
    void Command4_Click();
    void Save_date();
    void Command2_Click();
    void Form_Unload(std::int16_t& Cancel);
    void Command3_Click();
    void File_Open();

    // The end of a run asked for by the system (a termination signal, the session ending):
    // any open box is closed, the held rows are stored without a question, the port is
    // closed and the program ends. Rows a failed store could not take stay in the journal.
    void Terminate();

    // The desktop asked to close the window while a modal box blocked it: the close takes
    // effect once the running event has returned.
    void closeAskedUnderBox();

    // The window's outer width (frame included) in twips.
    float outerWidthTwips() const;

    platform::MessageBoxes& messages();
    platform::Clock& clock() { return *m_platform.clock; }
    const QString& programFolder() const { return m_platform.programFolder; }
    records::Journal* journal() { return m_journal.get(); }

    // Runs one asynchronous event to completion. Returns false, running nothing, when another
    // event is still running; the caller then delivers it later.
    template <class F> bool runEvent(F&& handler);

protected:
    bool event(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void setUpFocus(); // the focus order of the buttons and boxes
    void connectEvents();
    void showNoReading(); // "Load..." in red
    // The port set up for frames of `frameLength` bytes; false (the display red) on failure.
    bool setUpPortForFrames(std::int16_t frameLength);
    // A read's outcome applied to the weight, the display and the status line.
    void showReading(const indicator::ReadOutcome& outcome);
    void centre(VbLabel* label);
    void centreLines(); // the weight display and the status line
    void afterEvent();
    void onTimer(QTimer* timer, bool& pending, void (Form1::*tick)());
    void reportUnhandled(const std::exception& e);
    bool saveBeforeLeaving(); // false: the store failed, was reported, the window is back
    void saveToFreeSlots();   // the held rows saved when every slot is in use
    void takeRow();           // the reading and the entry fields as the next held row
    void tellStoreNotice(const records::StoreNotice& notice);
    // Nothing is held any more: after a store, and after rows the operator discarded.
    void holdNothing();
    void discardHeldRows(); // 否 at the exit prompt: nothing held, nothing falls due
    void Timer1_Clock();    // the date and time lines, and whether an hour boundary passed
    void Timer1_AutoSave(); // the hourly save, once per boundary passed
    void endProgramNow();   // closes the port, then ends the program at once
    void releasePort();
    // The journal of held rows (held_rows.cpp).
    void recoverHeldRows();
    void journalRow(std::size_t slot);
    void journalStoreBegins(const QString& dayFile, const QString& sheet, int lastRow,
                            std::int64_t lastSerial);
    void journalStoreDone(bool durable);
    void journalStoreFailed();
    void reportJournalFailure();

    Platform m_platform;
    int m_eventDepth = 0;
    float m_centredForOuter = 0; // the outer width the labels were last centred for
    bool m_timer3Pending = false;
    bool m_timer4Pending = false;
    std::int16_t Title_Pos = 0;
    std::int64_t m_lastTickHour = -1; // date and hour of the clock's last tick (-1: none yet)
    bool m_hourlySaveDue = false;     // an hour boundary passed and its save has not run yet
    bool m_closePending = false;      // a close request came while a box was open
    bool m_terminating = false;
    std::unique_ptr<records::Journal> m_journal;
    bool m_journalReported = false; // a journal that cannot be written is reported once
};

template <class F> bool Form1::runEvent(F&& handler) {
    if (m_eventDepth > 0)
        return false;
    ++m_eventDepth;
    MSComm1->setNotificationsHeld(true);
    try {
        handler();
    } catch (const std::exception& e) {
        reportUnhandled(e);
    }
    --m_eventDepth;
    afterEvent();
    return true;
}

} // namespace app
