// Test-only Windows helper, never shipped: run inside the same Wine session as Kelvor.exe, it finds
// Kelvor's windows and reports their state on stdout as "key value" lines, presses the dialog's
// buttons, and starts programs with an exact command line. Exit code 0 when the thing was found.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const Caption = "Orvane";
const int CountId = 1004;

DWORD Now() { return GetTickCount(); }

bool IsCountdown(HWND w) { return GetDlgItem(w, CountId) != nullptr; }

// The topmost-first visible dialog titled Caption that is (or is not) the countdown.
HWND FindDialog(bool countdown, bool visibleOnly = true)
{
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "#32770", Caption)) != nullptr)
        if ((!visibleOnly || IsWindowVisible(w)) && IsCountdown(w) == countdown)
            return w;
    return nullptr;
}

HWND WaitDialog(bool countdown, DWORD timeoutMs)
{
    DWORD start = Now();
    for (;;) {
        HWND w = FindDialog(countdown);
        if (w)
            return w;
        if (Now() - start > timeoutMs)
            return nullptr;
        Sleep(20);
    }
}

bool Text(HWND w, char *buf, int size)
{
    buf[0] = '\0';
    DWORD_PTR length = 0;
    return SendMessageTimeoutA(w, WM_GETTEXT, size, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000, &length) !=
               0 &&
           length > 0;
}

// Pixels the texts must leave spare, which `dialog MARGIN TIMEOUT` sets.
int Margin = 0;

// The room a static control's text needs in the dialog's font (Arial, 14 points at the screen's DPI,
// as the dialog manager makes it from the template), broken into lines as the control breaks it but
// Margin pixels narrower, against the control's client size: "extent id needed-width needed-height
// client-width client-height". WM_GETTEXT returns a whole text even where the control shows only part.
void PrintExtent(int id, HWND item, const char *text)
{
    HDC dc = GetDC(item);
    HFONT font = CreateFontA(-MulDiv(14, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                             DEFAULT_CHARSET, 0, 0, 0, 0, "Arial");
    HGDIOBJ old = SelectObject(dc, font);
    RECT client, needed;
    GetClientRect(item, &client);
    needed = client;
    needed.right -= Margin;
    DrawTextA(dc, text, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
    std::printf("extent %d %ld %ld %ld %ld\n", id, needed.right - needed.left, needed.bottom - needed.top, client.right,
                client.bottom);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(item, dc);
}

BOOL CALLBACK PrintItem(HWND item, LPARAM dialog)
{
    char cls[64], text[512];
    GetClassNameA(item, cls, sizeof cls);
    Text(item, text, sizeof text);
    RECT r;
    GetWindowRect(item, &r);
    MapWindowPoints(HWND_DESKTOP, reinterpret_cast<HWND>(dialog), reinterpret_cast<POINT *>(&r), 2);
    int id = GetDlgCtrlID(item);
    if (id == 0xFFFF)
        id = -1;
    std::printf("item %d %s %08lx %ld %ld %ld %ld %d %s\n", id, cls,
                static_cast<unsigned long>(GetWindowLongA(item, GWL_STYLE)), r.left, r.top, r.right - r.left,
                r.bottom - r.top, IsWindowVisible(item) ? 1 : 0, text);
    if (std::strcmp(cls, "Static") == 0 && (GetWindowLongA(item, GWL_STYLE) & SS_TYPEMASK) != SS_ICON)
        PrintExtent(id, item, text);
    return TRUE;
}

void PrintWindow(HWND w)
{
    char text[512], cls[64];
    Text(w, text, sizeof text);
    GetClassNameA(w, cls, sizeof cls);
    RECT r;
    GetWindowRect(w, &r);
    std::printf("class %s\ntitle %s\n", cls, text);
    std::printf("rect %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    POINT origin = {0, 0};  // of the client area, which the items' positions are relative to
    ClientToScreen(w, &origin);
    std::printf("origin %ld %ld\n", origin.x, origin.y);
    std::printf("screen %d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    std::printf("style %08lx\nexstyle %08lx\n", static_cast<unsigned long>(GetWindowLongA(w, GWL_STYLE)),
                static_cast<unsigned long>(GetWindowLongA(w, GWL_EXSTYLE)));
    std::printf("visible %d\nforeground %d\n", IsWindowVisible(w) ? 1 : 0, GetForegroundWindow() == w ? 1 : 0);
    DWORD pid = 0;
    DWORD thread = GetWindowThreadProcessId(w, &pid);
    std::printf("pid %lu\n", static_cast<unsigned long>(pid));
    // Where a keystroke goes: the control with the focus, and the default push button's id.
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    if (GetGUIThreadInfo(thread, &gui) && gui.hwndFocus)
        std::printf("focus %d\n", GetDlgCtrlID(gui.hwndFocus));
    DWORD_PTR defId = 0;
    if (SendMessageTimeoutA(w, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, 2000, &defId) && HIWORD(defId) == DC_HASDEFID)
        std::printf("default %d\n", LOWORD(defId));
    EnumChildWindows(w, PrintItem, reinterpret_cast<LPARAM>(w));
}

int Dialog(DWORD timeoutMs)
{
    HWND w = WaitDialog(true, timeoutMs);
    if (!w)
        return 1;
    Sleep(100);  // let WM_INITDIALOG finish drawing the texts
    PrintWindow(w);
    return 0;
}

// Reports each value the count shows until the dialog disappears, with milliseconds since start.
int Count(DWORD timeoutMs)
{
    DWORD start = Now();
    HWND w = WaitDialog(true, timeoutMs);
    if (!w)
        return 1;
    std::printf("visible %lu\n", static_cast<unsigned long>(Now() - start));
    char last[64] = "", text[64];
    while (IsWindow(w) && IsWindowVisible(w) && Now() - start < timeoutMs) {
        // A dialog being torn down answers with nothing: not a value it shows.
        if (Text(GetDlgItem(w, CountId), text, sizeof text) && std::strcmp(text, last) != 0) {
            std::printf("count %lu %s\n", static_cast<unsigned long>(Now() - start), text);
            std::fflush(stdout);
            std::strcpy(last, text);
        }
        Sleep(10);
    }
    std::printf("gone %lu\n", static_cast<unsigned long>(Now() - start));
    return 0;
}

// Waits for a visible countdown dialog of another process than `oldPid` (0: any) and says so at
// once, for timing: "visible".
int NewDialog(DWORD oldPid, DWORD timeoutMs)
{
    DWORD start = Now();
    while (Now() - start < timeoutMs) {
        HWND w = nullptr;
        while ((w = FindWindowExA(nullptr, w, "#32770", Caption)) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            char text[64];
            if (pid != oldPid && IsWindowVisible(w) && IsCountdown(w) &&
                Text(GetDlgItem(w, CountId), text, sizeof text)) {
                std::printf("visible %lu\n", static_cast<unsigned long>(pid));
                return 0;
            }
        }
        Sleep(5);
    }
    return 1;
}

int Press(const char *what, DWORD timeoutMs)
{
    HWND w = WaitDialog(true, timeoutMs);
    if (!w)
        return 1;
    PostMessageA(w, WM_COMMAND, std::strcmp(what, "ok") == 0 ? IDOK : IDCANCEL, 0);
    std::printf("pressed %s\n", what);
    return 0;
}

// The error box: its text, and OK to dismiss it.
int Box(DWORD timeoutMs, bool dismiss)
{
    HWND w = WaitDialog(false, timeoutMs);
    if (!w)
        return 1;
    Sleep(300);  // drawn
    PrintWindow(w);
    if (dismiss)
        PostMessageA(w, WM_COMMAND, IDOK, 0);
    return 0;
}

int MainWindow()
{
    HWND w = FindWindowA("KelvorNT", Caption);
    if (!w)
        return 1;
    PrintWindow(w);
    HMENU menu = GetSystemMenu(w, FALSE);
    int n = menu ? GetMenuItemCount(menu) : -1;
    std::printf("sysmenu %d", n);
    for (int i = 0; i < n; ++i)
        std::printf(" %04x", GetMenuItemID(menu, i));
    std::printf("\n");
    return 0;
}

// Counts the windows that identify Kelvor instances and their countdown dialogs.
int Windows()
{
    int mains = 0, dialogs = 0;
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "KelvorNT", Caption)) != nullptr)
        ++mains;
    while ((w = FindWindowExA(nullptr, w, "#32770", Caption)) != nullptr)
        dialogs += IsWindowVisible(w) && IsCountdown(w);
    std::printf("mains %d\ndialogs %d\n", mains, dialogs);
    return 0;
}

// Starts `application` with exactly the command line held in the file `linePath` (bytes as they
// are: quotes and blanks reach CreateProcessA untouched); reports its exit code if it ends in time.
int Run(const char *application, const char *linePath, DWORD timeoutMs)
{
    static char commandLine[40000];
    FILE *f = std::fopen(linePath, "rb");
    if (!f)
        return 2;
    size_t n = std::fread(commandLine, 1, sizeof commandLine - 1, f);
    std::fclose(f);
    commandLine[n] = '\0';
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(application, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("pid %lu\n", static_cast<unsigned long>(pi.dwProcessId));
    std::fflush(stdout);
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        std::printf("exit %lu\n", static_cast<unsigned long>(code));
    } else {
        std::printf("running\n");
    }
    return 0;
}

// A window with Kelvor's identity that is no Kelvor: it leaves every message to DefWindowProc
// (which destroys nothing for a posted WM_DESTROY) and reports the hand-over's posts and any system
// command as they arrive, "message NUMBER WPARAM". Topmost, it stays ahead of every Kelvor's own
// window in the order that FindWindow searches. It ends after `timeoutMs`.
LRESULT CALLBACK ImitationProc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY || message == WM_NCDESTROY || message == WM_SYSCOMMAND) {
        std::printf("message %u %lu\n", message, static_cast<unsigned long>(wParam));
        std::fflush(stdout);
    }
    return DefWindowProcA(w, message, wParam, lParam);
}

int Imitate(DWORD timeoutMs)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = ImitationProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KelvorNT";
    HWND w = RegisterClassA(&wc)
                 ? CreateWindowExA(WS_EX_TOPMOST, wc.lpszClassName, Caption, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0,
                                   0, 0, nullptr, nullptr, wc.hInstance, nullptr)
                 : nullptr;
    if (!w)
        return 1;
    std::printf("window %lx\nready\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(w)));
    std::fflush(stdout);
    UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0 && !(msg.message == WM_TIMER && msg.wParam == timer))
        DispatchMessageA(&msg);
    return 0;
}

int Idle()
{
    std::printf("ready\n");
    std::fflush(stdout);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const char *cmd = argv[1];
    DWORD timeout = argc > 2 ? static_cast<DWORD>(std::strtoul(argv[argc - 1], nullptr, 10)) : 10000;
    int rc = 2;
    if (!std::strcmp(cmd, "idle"))
        rc = Idle();
    else if (!std::strcmp(cmd, "dialog")) {
        Margin = argc > 3 ? std::atoi(argv[2]) : 0;
        rc = Dialog(timeout);
    } else if (!std::strcmp(cmd, "count"))
        rc = Count(timeout);
    else if (!std::strcmp(cmd, "press") && argc > 2)
        rc = Press(argv[2], argc > 3 ? timeout : 10000);
    else if (!std::strcmp(cmd, "box"))
        rc = Box(timeout, false);
    else if (!std::strcmp(cmd, "box-ok"))
        rc = Box(timeout, true);
    else if (!std::strcmp(cmd, "main"))
        rc = MainWindow();
    else if (!std::strcmp(cmd, "new-dialog") && argc > 2)
        rc = NewDialog(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)), argc > 3 ? timeout : 30000);
    else if (!std::strcmp(cmd, "imitate"))
        rc = Imitate(timeout);
    else if (!std::strcmp(cmd, "windows"))
        rc = Windows();
    else if (!std::strcmp(cmd, "run") && argc > 3)
        rc = Run(argv[2], argv[3], argc > 4 ? timeout : 30000);
    std::fflush(stdout);
    return rc;
}
