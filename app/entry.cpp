// Process entry (Windows builds only): Kelvor finds its own command-line tail rather than taking
// the C runtime's, whose quoting rules differ, and ends the process with WinMain's result so that
// a worker still running cannot keep it alive.
#include "app/app.h"

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void KelvorEntry()
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    LPSTR tail = const_cast<LPSTR>(CommandLineTail(GetCommandLineA()));
    ExitProcess(static_cast<UINT>(WinMain(GetModuleHandleA(nullptr), nullptr, tail, show)));
}
