/* Native stand-in for exactly the Win32 types and calls Kelvor uses, so that the module's own code
   builds with the host compiler for the unit tests. Calls are recorded in order and their results
   scripted through stub::State (win32stub.cpp). Test scaffolding only: it is not a Windows. */
#ifndef KELVOR_WIN32STUB_H
#define KELVOR_WIN32STUB_H

#include <cstdint>

#define WINAPI
#define CALLBACK
#define __cdecl
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef std::intptr_t INT_PTR, LONG_PTR, LPARAM, LRESULT;
typedef std::uintptr_t UINT_PTR, WPARAM;
typedef WORD ATOM;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef DWORD REGSAM;

typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE;
typedef struct HICON__ *HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HMENU__ *HMENU;
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;

typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef void(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<UINT_PTR>(static_cast<WORD>(i))))
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define HWND_TOPMOST (reinterpret_cast<HWND>(-1))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<UINT_PTR>(0x80000002u)))

struct POINT {
    LONG x, y;
};
struct RECT {
    LONG left, top, right, bottom;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES *PTOKEN_PRIVILEGES;
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize, dwMajorVersion, dwMinorVersion, dwBuildNumber, dwPlatformId;
    char szCSDVersion[128];
};
struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra, cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName, lpszClassName;
};
struct WNDCLASSEXA {
    UINT cbSize, style;
    WNDPROC lpfnWndProc;
    int cbClsExtra, cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName, lpszClassName;
    HICON hIconSm;
};

enum : UINT {
    WM_DESTROY = 0x02,
    WM_QUERYOPEN = 0x13,
    WM_NCDESTROY = 0x82,
    WM_INITDIALOG = 0x110,
    WM_COMMAND = 0x111,
    WM_SYSCOMMAND = 0x112,
    WM_TIMER = 0x113,
    DM_SETDEFID = 0x401,
    WM_QUIT = 0x12,
    SC_SIZE = 0xF000,
    SC_MINIMIZE = 0xF020,
    SC_MAXIMIZE = 0xF030,
    SC_CLOSE = 0xF060,
    SC_RESTORE = 0xF120,
    IDOK = 1,
    IDCANCEL = 2,
    MF_BYCOMMAND = 0,
    SW_HIDE = 0,
    SW_SHOWDEFAULT = 10,
    CS_VREDRAW = 1,
    CS_HREDRAW = 2,
    COLOR_WINDOW = 5,
    IMAGE_ICON = 1,
    SM_CXSCREEN = 0,
    SM_CYSCREEN = 1,
    SWP_NOSIZE = 1,
    SWP_NOACTIVATE = 0x10,
    MB_OK = 0,
    MB_ICONEXCLAMATION = 0x30,
    EWX_LOGOFF = 0,
    EWX_SHUTDOWN = 1,
    EWX_REBOOT = 2,
    EWX_FORCE = 4,
    EWX_POWEROFF = 8,
    VER_PLATFORM_WIN32s = 0,
    VER_PLATFORM_WIN32_WINDOWS = 1,
    VER_PLATFORM_WIN32_NT = 2,
    TOKEN_ADJUST_PRIVILEGES = 0x20,
    TOKEN_QUERY = 0x8,
    SE_PRIVILEGE_ENABLED = 2,
    KEY_READ = 0x20019,
    ERROR_SUCCESS = 0,
    ERROR_MORE_DATA = 234,
    ERROR_FILE_NOT_FOUND = 2,
};
constexpr DWORD INFINITE = 0xFFFFFFFFu, WAIT_TIMEOUT = 0x102;
constexpr DWORD WS_POPUP = 0x80000000u, WS_CAPTION = 0x00C00000u, WS_SYSMENU = 0x00080000u;

DWORD GetLastError();
BOOL GetVersionExA(OSVERSIONINFOA *version);
void Sleep(DWORD ms);
DWORD GetTickCount();
void OutputDebugStringA(LPCSTR text);
HANDLE GetCurrentProcess();
BOOL CloseHandle(HANDLE handle);
HANDLE CreateMutexA(void *attributes, BOOL initialOwner, LPCSTR name);
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);
BOOL ReleaseMutex(HANDLE mutex);
int lstrcmpiA(LPCSTR a, LPCSTR b);
int lstrcmpA(LPCSTR a, LPCSTR b);

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size);
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);
ATOM RegisterClassExA(const WNDCLASSEXA *wc);
ATOM RegisterClassA(const WNDCLASSA *wc);
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x, int y, int cx, int cy,
                     HWND parent, HMENU menu, HINSTANCE instance, void *param);
HWND FindWindowExA(HWND parent, HWND after, LPCSTR className, LPCSTR title);
HMENU GetSystemMenu(HWND window, BOOL revert);
BOOL DeleteMenu(HMENU menu, UINT position, UINT flags);
BOOL ShowWindow(HWND window, int show);
BOOL UpdateWindow(HWND window);
BOOL DestroyWindow(HWND window);
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int code);
BOOL GetMessageA(MSG *msg, HWND window, UINT first, UINT last);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL SetDlgItemTextA(HWND dialog, int item, LPCSTR text);
BOOL SetDlgItemInt(HWND dialog, int item, UINT value, BOOL isSigned);
BOOL SetWindowTextA(HWND window, LPCSTR text);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc);
BOOL KillTimer(HWND window, UINT_PTR id);
BOOL GetWindowRect(HWND window, RECT *rect);
int GetSystemMetrics(int index);
BOOL SetWindowPos(HWND window, HWND after, int x, int y, int cx, int cy, UINT flags);
BOOL BringWindowToTop(HWND window);
BOOL SetForegroundWindow(HWND window);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HWND GetDlgItem(HWND dialog, int item);
HWND SetFocus(HWND window);
BOOL ExitWindowsEx(UINT flags, DWORD reason);

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                           PTOKEN_PRIVILEGES previous, LPDWORD returnLength);
LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegCloseKey(HKEY key);

std::uintptr_t _beginthread(void (*start)(void *), unsigned stackSize, void *arg);
void _endthread();

#endif
