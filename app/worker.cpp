// The worker: completes the request from the registry, runs the countdown, takes the shutdown
// privilege on NT and asks the system to exit; then closes the main window, ending the process.
#include "app/app.h"

#include "dialog/countdown.h"
#include "options/options.h"
#include "res/resource.h"

namespace {

struct ExitAction {
    UINT flags;
    DWORD pauseMs;  // a plain sleep just before the call
};

// Rows: LogOff, Reboot, PowerDown, shutdown; without and with Force. EWX_LOGOFF is 0 but names it.
constexpr ExitAction ExitActions[2][4] = {
    {{EWX_LOGOFF, 0}, {EWX_REBOOT, 0}, {EWX_POWEROFF, 0}, {EWX_SHUTDOWN, 1000}},
    // cppcheck-suppress badBitmaskCheck
    {{EWX_LOGOFF | EWX_FORCE, 1000},
     {EWX_REBOOT | EWX_FORCE, 0},
     {EWX_POWEROFF | EWX_FORCE, 0},
     {EWX_SHUTDOWN | EWX_FORCE, 1000}},
};

ExitAction ChooseExitAction()
{
    const SHUTDOWN_REQUEST &r = ShutdownRequest;
    // The ShutDown flag is never consulted: shutdown is what remains.
    int row = r.LogOff ? 0 : r.Reboot ? 1 : r.PowerDown ? 2 : 3;
    return ExitActions[r.Force ? 1 : 0][row];
}

int EnableShutdownPrivilege()
{
    OutputDebugStringA("Setting token");
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        ReportSystemError(IDS_ERR_OPEN_TOKEN);
        return 0;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // Success of the call is enough; whether the privilege was really assigned is not examined.
    int adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != 0;
    if (!adjusted)
        ReportSystemError(IDS_ERR_ADJUST_TOKEN);  // before CloseHandle can touch the last error
    CloseHandle(token);
    return adjusted;
}

}  // namespace

int IsWindowsNT() { return PlatformIs(VER_PLATFORM_WIN32_NT); }

void ReportSystemError(UINT stringId)
{
    DWORD code = GetLastError();  // first: loading the label may change it
    LoadStringA(AppInstance, stringId, ErrorText, TextBufferSize);
    // wsprintfA writes at most 1024 bytes, the size of TextBuffer.
    wsprintfA(TextBuffer, "%s #%d", ErrorText, static_cast<int>(code));
    // cppcheck-suppress badBitmaskCheck ; MB_OK is 0 but names the one button
    MessageBoxA(nullptr, TextBuffer, Caption, MB_OK | MB_ICONEXCLAMATION);
}

int PerformSystemExit()
{
    if (!ShutdownRequest.Quiet &&
        DialogBoxParamA(AppInstance, MAKEINTRESOURCEA(IDD_COUNTDOWN), MainWindow, CountdownDialogProc, 0) != 0)
        return 1;  // cancelled, or the dialog could not open
    if (IsWindowsNT() && !EnableShutdownPrivilege())
        return 1;
    ExitAction action = ChooseExitAction();
    if (action.pauseMs != 0)
        Sleep(action.pauseMs);
    if (ExitWindowsEx(action.flags, 0))
        return 0;
    ReportSystemError(IDS_ERR_EXIT_WINDOWS);
    return 1;
}

void __cdecl ShutdownWorker(void *)
{
    ShutdownRequest.Disable = 0;
    if (ReadRegistrySettings())
        MergeRegistrySettings();
    if (!ShutdownRequest.Disable)
        PerformSystemExit();
    PostMessageA(MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    _endthread();
}
