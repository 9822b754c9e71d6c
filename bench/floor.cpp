// The benchmark's floor: the least a program can do to log off. Built with Kelvor's own flags and
// entry (no C runtime start-up). With no arguments it calls ExitWindowsEx(EWX_LOGOFF, 0) at once;
// with any argument it instead waits ten seconds in a message loop, the floor for idle cost.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void FloorEntry()
{
    const char *line = GetCommandLineA();
    bool wait = false;
    for (const char *p = line; *p; ++p)
        wait = wait || (*p == ' ' && p[1] > ' ');
    if (!wait)
        ExitProcess(ExitWindowsEx(EWX_LOGOFF, 0) ? 0 : 1);
    SetTimer(nullptr, 0, 10000, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != WM_TIMER)
        DispatchMessageA(&msg);
    ExitProcess(0);
}
