// The one variable two threads share: the countdown's timer id, written by the dialog on the
// worker thread and cleared by the main window's close on the main thread, with no lock. Run
// under ThreadSanitizer (the unit_thread test) this fails if that sharing is a data race.
#include "fixture.h"

#include <thread>

namespace {

TEST_F(KelvorTest, TimerIdIsSharedSafelyBetweenDialogAndMainWindow)
{
    const HWND dialog = stub::Handle(0x200), window = stub::Handle(0x100);
    ShutdownRequest.TimeGiven = 1;
    ShutdownRequest.TimeSeconds = 1;
    std::thread worker([dialog] {
        for (int i = 0; i < 2000; ++i) {
            CountdownDialogProc(dialog, WM_INITDIALOG, 0, 0);
            CountdownDialogProc(dialog, WM_TIMER, 1, 0);
            CountdownDialogProc(dialog, WM_COMMAND, i % 2 ? IDOK : IDCANCEL, 0);
        }
    });
    for (int i = 0; i < 2000; ++i)
        MainWindowProc(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    worker.join();
    EXPECT_EQ(CountdownTimerId, 0);
}

}  // namespace
