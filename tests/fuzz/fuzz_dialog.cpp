// Fuzzes the countdown dialog's message handling: a random start value, then a random sequence of
// ticks, OK, Cancel, other commands, the messages the dialog posted to itself, and the main
// window's close (which ends the process, so it ends the sequence). The result is always 0 or 1
// and no timer is left running once the dialog has ended.
#include <fuzzer/FuzzedDataProvider.h>

#include "app/app.h"
#include "dialog/countdown.h"
#include "invariants.h"
#include "options/options.h"
#include "stubstate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    stub::Reset();
    ShutdownRequest = SHUTDOWN_REQUEST{};
    CountdownTimerId = 0;
    ShutdownRequest.TimeGiven = in.ConsumeBool();
    ShutdownRequest.TimeSeconds = in.ConsumeIntegral<int>();
    ShutdownRequest.ShutCount = in.ConsumeIntegral<int>();
    ShutdownRequest.LogOff = in.ConsumeBool();
    ShutdownRequest.Reboot = !ShutdownRequest.LogOff && in.ConsumeBool();
    stub::g.setTimerResult = in.ConsumeBool() ? 1 : 0;
    const HWND dialog = stub::g.dialog;

    Check(CountdownDialogProc(dialog, WM_INITDIALOG, 0, 0) == 0);
    int last = CountdownSeconds;
    for (int step = 0; step < 64 && !stub::g.dialogEnded && in.remaining_bytes() > 0; ++step) {
        INT_PTR answer = 0;
        switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            answer = CountdownDialogProc(dialog, WM_TIMER, 1, 0);
            break;
        case 1:
            answer = CountdownDialogProc(dialog, WM_COMMAND, IDOK, 0);
            break;
        case 2:
            answer = CountdownDialogProc(dialog, WM_COMMAND, IDCANCEL, 0);
            break;
        case 3:
            answer =
                CountdownDialogProc(dialog, WM_COMMAND, in.ConsumeIntegral<WPARAM>(), in.ConsumeIntegral<LPARAM>());
            break;
        case 4:  // what the dialog posted to itself
            while (!stub::g.queue.empty() && !stub::g.dialogEnded) {
                MSG msg = stub::g.queue.front();
                stub::g.queue.pop_front();
                answer |= CountdownDialogProc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
            }
            break;
        default:  // the worker's close: the process ends with the dialog in it
            MainWindowProc(stub::Handle(0x100), WM_SYSCOMMAND, SC_CLOSE, 0);
            Check(CountdownTimerId == 0);
            return 0;
        }
        Check(answer == 0);
        Check(CountdownSeconds <= last && (CountdownSeconds == last || CountdownSeconds == last - 1));
        last = CountdownSeconds;
    }
    if (stub::g.dialogEnded) {
        Check(stub::g.dialogResult == 0 || stub::g.dialogResult == 1);
        Check(!stub::g.timerRunning && CountdownTimerId == 0);
    }
    return 0;
}
