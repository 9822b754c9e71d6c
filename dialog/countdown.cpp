// The countdown dialog: names the coming action, counts the seconds down once a second and ends
// with 0 (OK, or the count ran out) or 1 (Cancel, Escape, or Enter unless the user moved to OK).
#include "dialog/countdown.h"

#include "app/app.h"
#include "options/options.h"
#include "res/resource.h"

int CountdownSeconds;
std::atomic<std::uint16_t> CountdownTimerId;

namespace {

constexpr UINT_PTR CountdownTimer = 1;

void SetItemText(HWND dialog, int item, UINT stringId)
{
    LoadStringA(AppInstance, stringId, TextBuffer, TextBufferSize);
    SetDlgItemTextA(dialog, item, TextBuffer);
}

void StopTimer(HWND dialog)
{
    if (CountdownTimerId != 0)
        KillTimer(dialog, CountdownTimer);
    CountdownTimerId = 0;
}

// Enter goes to the push button that holds the focus, else to the default push button, and to IDOK
// when there is none; Space presses the button that holds the focus. So Cancel gets both: a
// keystroke meant for another window cancels, and only a deliberate move to OK (Tab past the count)
// or a click confirms. Setting the focus here is why WM_INITDIALOG returns 0.
void GuardAgainstStrayKeys(HWND dialog)
{
    SendMessageA(dialog, DM_SETDEFID, IDCANCEL, 0);
    SetFocus(GetDlgItem(dialog, IDCANCEL));
}

void OnInitDialog(HWND dialog)
{
    const SHUTDOWN_REQUEST &r = ShutdownRequest;
    CountdownSeconds = r.TimeGiven ? r.TimeSeconds : r.ShutCount;
    PlaceDialog(dialog);
    BringWindowToTop(dialog);
    SetForegroundWindow(dialog);
    GuardAgainstStrayKeys(dialog);
    // Shutdown and power-off keep the template's texts.
    if (r.LogOff) {
        SetItemText(dialog, IDC_ACTION_LABEL, IDS_LOGOFF_LABEL);
        SetItemText(dialog, IDC_HINT, IDS_LOGOFF_HINT);
        SetItemText(dialog, IDC_MESSAGE, IDS_LOGOFF_MESSAGE);
    }
    if (r.Reboot) {
        SetItemText(dialog, IDC_ACTION_LABEL, IDS_REBOOT_LABEL);
        SetItemText(dialog, IDC_HINT, IDS_REBOOT_HINT);
        SetItemText(dialog, IDC_MESSAGE, IDS_REBOOT_MESSAGE);
    }
    SetDlgItemInt(dialog, IDC_COUNT, static_cast<UINT>(CountdownSeconds), TRUE);
    // Without a timer the count stands still and the dialog waits for OK or Cancel: a failure
    // must never turn into an exit the user had no chance to cancel.
    CountdownTimerId = static_cast<std::uint16_t>(SetTimer(dialog, CountdownTimer, 1000, nullptr));
}

void OnTimer(HWND dialog)
{
    if (CountdownSeconds > 0) {
        --CountdownSeconds;
        SetDlgItemInt(dialog, IDC_COUNT, static_cast<UINT>(CountdownSeconds), TRUE);
        return;
    }
    // One tick after 0 is shown: go ahead exactly as if OK had been pressed.
    StopTimer(dialog);
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
}

void OnCommand(HWND dialog, WPARAM wParam)
{
    if (wParam == IDCANCEL) {
        StopTimer(dialog);
        EndDialog(dialog, 1);
    } else if (wParam == IDOK) {
        StopTimer(dialog);
        EndDialog(dialog, 0);
    }
}

// Keeps a coordinate computed from window and screen sizes inside int.
int ClampToInt(long long value)
{
    constexpr long long lo = -2147483647LL - 1, hi = 2147483647LL;
    return static_cast<int>(value < lo ? lo : value > hi ? hi : value);
}

}  // namespace

void PlaceDialog(HWND dialog)
{
    RECT rect = {};
    GetWindowRect(dialog, &rect);
    long long width = static_cast<long long>(rect.right) - rect.left;
    long long height = static_cast<long long>(rect.bottom) - rect.top;
    int x = ClampToInt((GetSystemMetrics(SM_CXSCREEN) - width) / 2);
    int y = ClampToInt((GetSystemMetrics(SM_CYSCREEN) - height) / 3);
    SetWindowPos(dialog, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    SetWindowTextA(dialog, Caption);
}

INT_PTR CALLBACK CountdownDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog(dialog);
        break;
    case WM_TIMER:
        OnTimer(dialog);
        break;
    case WM_COMMAND:
        OnCommand(dialog, wParam);
        break;
    }
    return 0;
}
