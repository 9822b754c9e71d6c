// Start-up: find the tail of the command line, replace an earlier instance, keep the hidden
// main window that identifies this one, start the worker and pump messages until it is done.
#include "app/app.h"

#include "dialog/countdown.h"
#include "options/options.h"
#include "res/resource.h"

HINSTANCE AppInstance;
char ClassName[ClassNameSize];
char Caption[CaptionSize];
HWND MainWindow;
char TextBuffer[TextBufferSize];
char ErrorText[TextBufferSize];

static_assert(sizeof(void *) != 4 || sizeof(WNDCLASSEXA) == 48, "extended class record");
static_assert(sizeof(OSVERSIONINFOA) == 148, "version record");

const char *CommandLineTail(const char *commandLine)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(commandLine);
    if (*p == '"') {
        // A quoted program name; "" at the start is skipped as a pair.
        ++p;
        if (*p == '"') {
            ++p;
        } else {
            while (*p != '\0' && *p != '"')
                ++p;
            if (*p == '\0')
                return reinterpret_cast<const char *>(p);
            ++p;
        }
    } else if (*p > ' ') {
        while (*p > ' ')
            ++p;
    }
    while (*p >= 0x01 && *p <= ' ')
        ++p;
    return reinterpret_cast<const char *>(p);
}

int PlatformIs(DWORD platformId)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // A failed call is no answer: its zeroed record would read as Win32s.
    return GetVersionExA(&version) && version.dwPlatformId == platformId;
}

int IsWin32s() { return PlatformIs(VER_PLATFORM_WIN32s); }

static void EndEarlierInstance()
{
    HWND earlier = FindWindowA(ClassName, Caption);
    if (earlier == nullptr)
        return;
    // Its loop quits on WM_DESTROY and its process ends, worker and pending exit included.
    PostMessageA(earlier, WM_DESTROY, 1, 0);
    PostMessageA(earlier, WM_NCDESTROY, 1, 0);
    do
        Sleep(100);
    while (FindWindowA(ClassName, Caption) != nullptr);
}

// Instances started at the same moment would each find no earlier window and each create one.
// Taking turns makes "end the earlier one, create ours, find ours" one step, so the last one to
// get its turn wins. An abandoned turn (its holder died) counts as given.
static HANDLE EnterHandOver()
{
    HANDLE turn = CreateMutexA(nullptr, FALSE, "KelvorNT hand-over");
    if (turn != nullptr)
        WaitForSingleObject(turn, INFINITE);
    return turn;
}

static void LeaveHandOver(HANDLE turn)
{
    if (turn == nullptr)
        return;
    ReleaseMutex(turn);
    CloseHandle(turn);
}

static int RegisterMainClass()
{
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = AppInstance;
    wc.hIconSm = static_cast<HICON>(LoadImageA(AppInstance, MAKEINTRESOURCEA(IDI_LEFT), IMAGE_ICON, 16, 16, 0));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = ClassName;
    if (RegisterClassExA(&wc))
        return 1;
    // Systems without the extended call get the plain part of the same record.
    WNDCLASSA plain = {};
    plain.style = wc.style;
    plain.lpfnWndProc = wc.lpfnWndProc;
    plain.hInstance = wc.hInstance;
    plain.hIcon = wc.hIcon;
    plain.hCursor = wc.hCursor;
    plain.hbrBackground = wc.hbrBackground;
    plain.lpszClassName = wc.lpszClassName;
    return RegisterClassA(&plain) != 0;
}

static int CreateMainWindow()
{
    HWND window = CreateWindowExA(0, ClassName, Caption, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0, nullptr,
                                  nullptr, AppInstance, nullptr);
    if (window == nullptr)
        return 0;
    HMENU menu = GetSystemMenu(window, FALSE);
    DeleteMenu(menu, SC_MINIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return 1;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLineTail, int)
{
    SHUTDOWN_REQUEST &r = ShutdownRequest;
    r.LogOff = r.Reboot = r.ShutDown = r.PowerDown = 0;
    r.Force = r.Quiet = r.Show = r.TimeGiven = 0;
    r.ForceMode = r.QuietMode = 0;
    AppInstance = instance;

    if (IsWin32s())
        return 0;
    ParseCommandLine(commandLineTail);

    LoadStringA(AppInstance, IDS_CLASS_NAME, ClassName, ClassNameSize);
    LoadStringA(AppInstance, IDS_CAPTION, Caption, CaptionSize);
    HANDLE turn = EnterHandOver();
    EndEarlierInstance();
    int created = RegisterMainClass() && CreateMainWindow();
    // Whatever window now answers to our identity is the one the worker closes.
    if (created)
        MainWindow = FindWindowA(ClassName, Caption);
    LeaveHandOver(turn);
    if (!created)
        return 0;

    if (_beginthread(ShutdownWorker, 0, nullptr) == static_cast<uintptr_t>(-1)) {
        // No worker will ever post the close: end now rather than wait for ever.
        DestroyWindow(MainWindow);
        return 0;
    }

    MSG msg = {};
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    // -1 is a failed call, not a quit: msg then holds whatever the last message left there.
    return got == 0 ? static_cast<int>(msg.wParam) : 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_QUERYOPEN:
        return 0;  // never restored from an icon
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFFF) != SC_CLOSE)
            break;
        // A countdown still running on the worker ends with the process.
        CountdownTimerId = 0;
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
