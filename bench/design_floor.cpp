// The benchmark's design floor: only what Kelvor's design requires before it may act, and nothing
// else. It registers a window class, creates the hidden window that identifies a running
// instance, starts a worker thread through the C runtime and calls ExitWindowsEx(EWX_LOGOFF, 0)
// from it; the worker then closes the window and the process ends. Built as Kelvor.exe is.
#include <process.h>
#include <windows.h>

namespace {

HWND Window;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void __cdecl Worker(void *)
{
    ExitWindowsEx(EWX_LOGOFF, 0);
    PostMessageA(Window, WM_CLOSE, 0, 0);
    _endthread();
}

}  // namespace

extern "C" __attribute__((force_align_arg_pointer, noreturn)) void DesignFloorEntry()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = "DesignFloor";
    RegisterClassExA(&wc);
    Window = CreateWindowExA(0, wc.lpszClassName, "DesignFloor", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                             nullptr);
    _beginthread(Worker, 0, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    ExitProcess(0);
}
