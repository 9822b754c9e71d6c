// Native stand-in for the Win32 calls Kelvor makes: records each call and answers as scripted.
// The string table is read from the real resource script, so tests see the shipped texts.
#include "stubstate.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <strings.h>

#include "app/app.h"
#include "res/resource.h"

namespace stub {

State g;

namespace {

std::string Arg(const char *text) { return text ? "\"" + std::string(text) + "\"" : "null"; }
template <typename T> std::string Arg(T *pointer) { return std::to_string(reinterpret_cast<std::uintptr_t>(pointer)); }
template <typename T> std::string Arg(T value) { return std::to_string(value); }

// Calls may come from two threads (the main window's and the worker's), as in the module.
std::mutex LogLock;

template <typename... Args> void Log(const char *name, Args... args)
{
    std::lock_guard<std::mutex> guard(LogLock);
    std::string line = name;
    line += '(';
    [[maybe_unused]] const char *sep = "";
    ((line += sep, line += Arg(args), sep = ", "), ...);
    line += ')';
    g.calls.push_back(line);
}

// A call that only records itself and answers `result`.
template <typename R, typename... Args> R Logged(const char *name, R result, Args... args)
{
    Log(name, args...);
    return result;
}

BOOL Result(BOOL ok)
{
    if (!ok)
        g.lastError = g.failureError;
    return ok;
}

// "#define IDS_NAME 42" lines of resource.h, and "    IDS_NAME, \"text\"" lines of the script.
std::map<UINT, std::string> ReadStringTable()
{
    std::map<std::string, UINT> ids;
    std::ifstream header(KELVOR_RESOURCE_H_PATH);
    for (std::string line; std::getline(header, line);) {
        std::istringstream words(line);
        std::string define, name;
        UINT id;
        if (words >> define >> name >> id && define == "#define")
            ids[name] = id;
    }
    std::map<UINT, std::string> table;
    std::ifstream script(KELVOR_RC_PATH);
    for (std::string line; std::getline(script, line);) {
        size_t start = line.find_first_not_of(' '), comma = line.find(','), open = line.find('"');
        if (start == std::string::npos || line.compare(start, 4, "IDS_") != 0 || comma == std::string::npos ||
            open == std::string::npos || line.back() != '"')
            continue;
        auto id = ids.find(line.substr(start, comma - start));
        if (id == ids.end())
            continue;
        std::string text, raw = line.substr(open + 1, line.size() - open - 2);
        for (size_t i = 0; i < raw.size(); ++i)
            text += (raw[i] == '\\' && i + 1 < raw.size()) ? raw[++i] : raw[i];
        table[id->second] = text;
    }
    return table;
}

// Delivers one message to the dialog procedure as the dialog manager would.
void Deliver(DLGPROC proc, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER)
        ++g.ticks;
    proc(g.dialog, message, wParam, lParam);
}

bool PopDialogMessage(MSG *out)
{
    for (auto it = g.queue.begin(); it != g.queue.end(); ++it) {
        if (it->hwnd == g.dialog) {
            *out = *it;
            g.queue.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace

void Reset() { g = State(); }

std::vector<std::string> Calls(std::initializer_list<const char *> names)
{
    std::vector<std::string> out;
    for (const std::string &call : g.calls)
        for (const char *name : names)
            if (call.compare(0, std::strlen(name), name) == 0 && call[std::strlen(name)] == '(')
                out.push_back(call);
    return out;
}

void Preset(const std::map<std::string, RegistryValue> &values)
{
    g.keyExists = true;
    g.keyPath = ResourceString(IDS_REGISTRY_KEY);
    g.values = values;
}

std::string Number(std::int64_t value, size_t bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes; ++i)
        out += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF);
    return out;
}

std::string ResourceString(UINT id)
{
    static const std::map<UINT, std::string> table = ReadStringTable();
    auto it = table.find(id);
    return it == table.end() ? std::string() : it->second;
}

}  // namespace stub

using stub::Deliver;
using stub::g;
using stub::Log;
using stub::Logged;
using stub::PopDialogMessage;
using stub::Result;

DWORD GetLastError() { return g.lastError; }

BOOL GetVersionExA(OSVERSIONINFOA *version)
{
    Log("GetVersionExA", version->dwOSVersionInfoSize);
    if (!g.versionOk || version->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
        return Result(FALSE);
    version->dwPlatformId = g.platformId;
    return TRUE;
}

void Sleep(DWORD ms)
{
    Log("Sleep", ms);
    g.clock += ms;
}

DWORD GetTickCount() { return g.clock; }
void OutputDebugStringA(LPCSTR text) { Log("OutputDebugStringA", text); }
HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(-1); }

BOOL CloseHandle(HANDLE handle)
{
    Log("CloseHandle", handle);
    g.lastError = 0;  // a successful call may reset the last error, as some real ones do
    return TRUE;
}

HANDLE CreateMutexA(void *, BOOL initialOwner, LPCSTR name)
{
    return Logged("CreateMutexA", g.mutexFails ? nullptr : reinterpret_cast<HANDLE>(0x60), initialOwner, name);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms)
{
    return Logged("WaitForSingleObject", g.turnTimesOut ? WAIT_TIMEOUT : 0, handle, ms);
}

BOOL ReleaseMutex(HANDLE mutex) { return Logged("ReleaseMutex", TRUE, mutex); }

int lstrcmpiA(LPCSTR a, LPCSTR b) { return strcasecmp(a, b); }
int lstrcmpA(LPCSTR a, LPCSTR b) { return std::strcmp(a, b); }

int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size)
{
    Log("LoadStringA", id, size);
    std::string text = stub::ResourceString(id);
    if (g.loadStringFails.count(id) || text.empty()) {
        if (size > 0)
            buffer[0] = '\0';
        return Result(0);
    }
    int n = static_cast<int>(text.size()) < size - 1 ? static_cast<int>(text.size()) : size - 1;
    std::memcpy(buffer, text.data(), static_cast<size_t>(n));
    buffer[n] = '\0';
    g.lastError = 0;  // loading the label must not lose the error being reported
    return n;
}

HANDLE LoadImageA(HINSTANCE, LPCSTR name, UINT type, int cx, int cy, UINT flags)
{
    return Logged("LoadImageA", reinterpret_cast<HANDLE>(0x51), reinterpret_cast<std::uintptr_t>(name), type, cx, cy,
                  flags);
}

HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name)
{
    return Logged("LoadCursorA", reinterpret_cast<HCURSOR>(0x52), instance, reinterpret_cast<std::uintptr_t>(name));
}

ATOM RegisterClassExA(const WNDCLASSEXA *wc)
{
    Log("RegisterClassExA", wc->cbSize, wc->style, wc->cbClsExtra, wc->cbWndExtra, wc->hIcon, wc->hIconSm, wc->hCursor,
        wc->hbrBackground, wc->lpszMenuName, wc->lpszClassName);
    if (!g.registerClassExOk)
        return static_cast<ATOM>(Result(FALSE));
    g.windowProc = wc->lpfnWndProc;
    return 1;
}

ATOM RegisterClassA(const WNDCLASSA *wc)
{
    Log("RegisterClassA", wc->style, wc->cbClsExtra, wc->cbWndExtra, wc->hIcon, wc->hCursor, wc->hbrBackground,
        wc->lpszMenuName, wc->lpszClassName);
    if (!g.registerClassOk)
        return static_cast<ATOM>(Result(FALSE));
    g.windowProc = wc->lpfnWndProc;
    return 1;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x, int y, int cx, int cy,
                     HWND parent, HMENU menu, HINSTANCE, void *)
{
    Log("CreateWindowExA", exStyle, className, title, style, x, y, cx, cy, parent, menu);
    if (!g.createWindow)
        Result(FALSE);
    return g.createWindow;
}

HWND FindWindowExA(HWND parent, HWND after, LPCSTR className, LPCSTR title)
{
    Log("FindWindowExA", parent, after, className, title);
    if (g.clock >= 600000)
        return nullptr;  // ten minutes of waiting: the stand-in gives up rather than hang the test
    bool past = after == nullptr;
    for (const stub::State::IdentityWindow &w : g.identity) {
        bool there = g.clock < w.goneAt;
        if (past && there)
            return w.handle;
        if (w.handle == after && !there)
            return nullptr;  // the walk cannot go on from a window that is gone
        past = past || w.handle == after;
    }
    return nullptr;
}

HMENU GetSystemMenu(HWND window, BOOL revert)
{
    return Logged("GetSystemMenu", reinterpret_cast<HMENU>(0x300), window, revert);
}

BOOL DeleteMenu(HMENU menu, UINT position, UINT flags) { return Logged("DeleteMenu", TRUE, menu, position, flags); }

BOOL ShowWindow(HWND window, int show) { return Logged("ShowWindow", FALSE, window, show); }

BOOL UpdateWindow(HWND window) { return Logged("UpdateWindow", TRUE, window); }

BOOL DestroyWindow(HWND window)
{
    Log("DestroyWindow", window);
    if (window == nullptr || window != g.createWindow)
        return Result(FALSE);
    if (g.windowProc)
        g.windowProc(window, WM_DESTROY, 0, 0);
    return TRUE;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Log("PostMessageA", window, message, wParam, lParam);
    for (stub::State::IdentityWindow &w : g.identity) {
        if (w.handle != window)
            continue;
        if (w.endsAtPost && message == WM_DESTROY && !w.refusesPosts)
            w.goneAt = g.clock;
        return Result(!w.refusesPosts);  // another process's queue, not ours
    }
    g.queue.push_back(MSG{window, message, wParam, lParam, 0, {0, 0}});
    return TRUE;
}

void PostQuitMessage(int code)
{
    Log("PostQuitMessage", code);
    g.quitPosted = true;
    g.quitCode = code;
}

BOOL GetMessageA(MSG *msg, HWND, UINT, UINT)
{
    if (!g.queue.empty()) {
        *msg = g.queue.front();
        g.queue.pop_front();
        return TRUE;
    }
    if (g.getMessageFails) {
        Log("GetMessageA", "error");
        g.lastError = g.failureError;
        return -1;  // msg is left as the last message left it
    }
    // Nothing more will arrive in a test: a real loop would block here for ever.
    Log("GetMessageA", g.quitPosted ? "quit" : "idle");
    *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(g.quitCode), 0, 0, {0, 0}};
    return FALSE;
}

BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageA(const MSG *msg)
{
    if (msg->hwnd == g.createWindow && g.windowProc)
        return g.windowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    return 0;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Logged("DefWindowProcA", 0x7777, window, message, wParam, lParam);
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    return Logged("MessageBoxA", IDOK, owner, text, caption, type);
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, 1024, format, args);  // wsprintfA's own limit
    va_end(args);
    return n < 1024 ? n : 1023;
}

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param)
{
    Log("DialogBoxParamA", reinterpret_cast<std::uintptr_t>(name), owner, param);
    if (g.dialogFails)
        return static_cast<INT_PTR>(Result(FALSE)) - 1;
    g.dialogEnded = false;
    g.ticks = 0;
    Deliver(proc, WM_INITDIALOG, 0, param);
    // Bounded: a dialog that never ends is reported as -2 rather than hanging the test.
    for (int step = 0; step < 100000 && !g.dialogEnded; ++step) {
        MSG msg;
        if (PopDialogMessage(&msg))
            Deliver(proc, msg.message, msg.wParam, msg.lParam);
        else if (g.ticks == g.pressAfterTicks)
            Deliver(proc, WM_COMMAND, g.press, 0), g.pressAfterTicks = -1;
        else if (g.timerRunning)
            Deliver(proc, WM_TIMER, 1, 0);
        else
            break;
    }
    Log("DialogBoxParamA.end", g.dialogEnded ? g.dialogResult : -2);
    return g.dialogEnded ? g.dialogResult : -2;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    Log("EndDialog", dialog, result);
    g.dialogEnded = true;
    g.dialogResult = result;
    return TRUE;
}

BOOL SetDlgItemTextA(HWND dialog, int item, LPCSTR text)
{
    Log("SetDlgItemTextA", dialog, item, text);
    g.itemTexts[item] = text;
    return TRUE;
}

BOOL SetDlgItemInt(HWND dialog, int item, UINT value, BOOL isSigned)
{
    std::string shown = isSigned ? std::to_string(static_cast<int>(value)) : std::to_string(value);
    Log("SetDlgItemInt", dialog, item, shown.c_str(), isSigned);
    g.itemTexts[item] = shown;
    return TRUE;
}

BOOL SetWindowTextA(HWND window, LPCSTR text) { return Logged("SetWindowTextA", TRUE, window, text); }

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT ms, TIMERPROC proc)
{
    Log("SetTimer", window, id, ms, proc);
    g.timerRunning = g.setTimerResult != 0;
    return g.setTimerResult;
}

BOOL KillTimer(HWND window, UINT_PTR id)
{
    Log("KillTimer", window, id);
    g.timerRunning = false;
    return TRUE;
}

BOOL GetWindowRect(HWND, RECT *rect)
{
    *rect = g.windowRect;
    return TRUE;
}

int GetSystemMetrics(int index) { return index == SM_CXSCREEN ? g.screenWidth : g.screenHeight; }

BOOL SetWindowPos(HWND window, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    return Logged("SetWindowPos", TRUE, window, after, x, y, cx, cy, flags);
}

BOOL BringWindowToTop(HWND window) { return Logged("BringWindowToTop", TRUE, window); }

BOOL SetForegroundWindow(HWND window) { return Logged("SetForegroundWindow", TRUE, window); }

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return Logged("SendMessageA", 0, window, message, wParam, lParam);
}

// A control's handle is its dialog's plus its id, so that a test can tell which control a call names.
HWND GetDlgItem(HWND dialog, int item) { return stub::Handle(reinterpret_cast<std::uintptr_t>(dialog) + item); }

HWND SetFocus(HWND window) { return Logged("SetFocus", nullptr, window); }

BOOL ExitWindowsEx(UINT flags, DWORD reason) { return Logged("ExitWindowsEx", Result(g.exitOk), flags, reason); }

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    Log("OpenProcessToken", process, access);
    *token = g.openTokenOk ? reinterpret_cast<HANDLE>(0x70) : nullptr;
    return Result(g.openTokenOk);
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, LUID *luid)
{
    Log("LookupPrivilegeValueA", system, name);
    if (g.lookupOk)
        *luid = LUID{19, 0};
    return Result(g.lookupOk);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD length,
                           PTOKEN_PRIVILEGES previous, LPDWORD returnLength)
{
    Log("AdjustTokenPrivileges", token, disableAll, state->PrivilegeCount, state->Privileges[0].Luid.LowPart,
        state->Privileges[0].Attributes, length, previous, returnLength);
    return Result(g.adjustOk);
}

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    Log("RegOpenKeyExA", key, subKey, options, access);
    if (!g.keyExists || key != HKEY_LOCAL_MACHINE || g.keyPath != subKey)
        return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(0x400);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    Log("RegQueryValueExA", key, name, reserved, type, *size);
    auto it = g.values.find(name);
    if (it == g.values.end())
        return ERROR_FILE_NOT_FOUND;
    const std::string &bytes = it->second.bytes;
    if (type)
        *type = it->second.type;
    if (bytes.size() > *size) {
        // The caller's buffer holds unspecified bytes now; make them visible.
        std::memset(data, 0xCC, *size);
        *size = static_cast<DWORD>(bytes.size());
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) { return Logged("RegCloseKey", ERROR_SUCCESS, key); }

std::uintptr_t _beginthread(void (*start)(void *), unsigned stackSize, void *arg)
{
    Log("_beginthread", stackSize, arg);
    if (g.beginThread == static_cast<std::uintptr_t>(-1))
        return g.beginThread;
    if (g.runWorkerInline)
        start(arg);
    return g.beginThread;
}

void _endthread() { Log("_endthread"); }
