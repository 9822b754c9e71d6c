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

// Windows with our identity that one hand-over ends: more than one means an imitation, or an
// instance a hand-over gave up on; past this many, the rest are an imitation's too.
constexpr int MaxEarlierWindows = 16;

struct EarlierWindows {
    HWND told[MaxEarlierWindows];    // told to end, in the order found
    BOOL posted[MaxEarlierWindows];  // whether the post went: one that did not will not end it
    int count;
};

// Walks the windows with our identity, tells each one not told yet to end, and returns how many
// told with a post that went are still there. Every one is told, not only the first: an imitation,
// or an instance an earlier hand-over gave up on, must not shield a genuine earlier Kelvor behind
// it. With `firstOnly` the walk stops at the first told with a post that went, so that the usual
// single earlier instance is told at once; the rest are told on the next walk. A window that ends
// at its post can cut a walk short (none can go on from a window that is gone), but it is counted
// first, so another walk follows.
static int TellEarlierWindows(EarlierWindows &w, int firstOnly)
{
    int left = 0;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, ClassName, Caption)) != nullptr) {
        int i = 0;
        while (i < w.count && w.told[i] != window)
            ++i;
        if (i == w.count) {
            if (w.count == MaxEarlierWindows)
                continue;
            // Its loop quits on WM_DESTROY and its process ends, worker and pending exit included.
            w.told[i] = window;
            w.posted[i] = PostMessageA(window, WM_DESTROY, 1, 0);
            PostMessageA(window, WM_NCDESTROY, 1, 0);
            ++w.count;
        }
        left += w.posted[i] != FALSE;
        if (firstOnly && w.posted[i])
            break;
    }
    return left;
}

// A genuine earlier Kelvor's window is gone tens of milliseconds after the posts (a few hundred
// where 32-bit code is emulated). One still there after HandOverBoundMs will not go because of them:
// its process is hung or stopped, the posts were dropped on the way (a higher integrity level's
// queue), or it is no Kelvor at all; waiting on would lose this request, and every later one
// behind it, unreported.
static void EndEarlierInstances()
{
    EarlierWindows earlier = {};
    int left = TellEarlierWindows(earlier, 1);
    const DWORD start = GetTickCount();
    while (left > 0) {
        Sleep(100);
        left = TellEarlierWindows(earlier, 0);
        if (GetTickCount() - start >= HandOverBoundMs)
            break;  // unsigned: the tick count wraps after 49.7 days
    }
}

// Instances started at the same moment would each find no earlier window and each create one.
// Taking turns makes "end the earlier ones, create ours" one step, so the last one to get its turn
// wins. An abandoned turn (its holder died) counts as given. A holder keeps it at most for the
// hand-over's bound and the creation of a window, so a turn not given within TurnBoundMs is held by
// a stopped process or by a program that is no Kelvor: go on without it, as where there is no mutex.
static HANDLE EnterHandOver()
{
    HANDLE turn = CreateMutexA(nullptr, FALSE, "KelvorNT hand-over");
    if (turn != nullptr && WaitForSingleObject(turn, TurnBoundMs) == WAIT_TIMEOUT) {
        CloseHandle(turn);
        return nullptr;
    }
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

static HWND CreateMainWindow()
{
    HWND window = CreateWindowExA(0, ClassName, Caption, WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0, nullptr,
                                  nullptr, AppInstance, nullptr);
    if (window == nullptr)
        return nullptr;
    HMENU menu = GetSystemMenu(window, FALSE);
    DeleteMenu(menu, SC_MINIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_RESTORE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return window;
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
    EndEarlierInstances();
    // The window created here, not whichever answers to our identity first: the worker's close
    // must end this process, never an earlier one given up on or another program's window.
    MainWindow = RegisterMainClass() ? CreateMainWindow() : nullptr;
    LeaveHandOver(turn);
    if (MainWindow == nullptr)
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
