/* Scripting and inspection of the Win32 stand-in: what each call returns, and the calls made. */
#ifndef KELVOR_STUBSTATE_H
#define KELVOR_STUBSTATE_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "win32stub.h"

namespace stub {

inline HWND Handle(std::uintptr_t value) { return reinterpret_cast<HWND>(value); }

struct RegistryValue {
    std::string bytes;
    DWORD type;
};

struct State {
    std::vector<std::string> calls;  // "Name(arg, arg, ...)" in call order
    DWORD lastError = 0;
    DWORD failureError = 5;  // what a failing call leaves as the last error

    // Start-up.
    BOOL versionOk = TRUE;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    // Other top-level windows with Kelvor's identity, as FindWindowExA lists them: each is there
    // until the clock reaches its goneAt (or at once when a posted WM_DESTROY ends it), and refuses
    // posts (as UIPI refuses them: error 5) if told.
    struct IdentityWindow {
        HWND handle;
        DWORD goneAt = INFINITE;
        bool refusesPosts = false;
        bool endsAtPost = false;
    };
    std::vector<IdentityWindow> identity;
    DWORD clock = 0;  // GetTickCount's milliseconds; Sleep advances it
    BOOL registerClassExOk = TRUE, registerClassOk = TRUE;
    HWND createWindow = Handle(0x100);
    std::uintptr_t beginThread = 1;  // (uintptr_t)-1 is failure
    bool mutexFails = false;
    bool turnTimesOut = false;     // the hand-over mutex is held by a process that never gives it
    bool runWorkerInline = false;  // _beginthread runs the thread body before returning
    WNDPROC windowProc = nullptr;  // as registered
    std::deque<MSG> queue;         // posted messages
    bool getMessageFails = false;  // GetMessageA returns -1 once the queue is empty
    bool quitPosted = false;
    int quitCode = 0;
    std::map<UINT, int> loadStringFails;  // string ids whose load fails

    // Privilege and exit.
    BOOL openTokenOk = TRUE, lookupOk = TRUE, adjustOk = TRUE, exitOk = TRUE;

    // Modal dialog: a bounded stand-in of the dialog manager's loop.
    bool dialogFails = false;
    HWND dialog = Handle(0x200);
    int pressAfterTicks = -1;  // >= 0: the user presses `press` once this many ticks passed
    WPARAM press = IDCANCEL;
    int ticks = 0;  // WM_TIMER messages delivered
    bool timerRunning = false;
    bool dialogEnded = false;
    INT_PTR dialogResult = 0;
    UINT_PTR setTimerResult = 1;
    RECT windowRect = {0, 0, 300, 200};
    int screenWidth = 1024, screenHeight = 768;
    std::map<int, std::string> itemTexts;  // dialog control texts as last set

    // Registry: HKLM key given by its path, values by name.
    bool keyExists = false;
    std::string keyPath;
    std::map<std::string, RegistryValue> values;
};

extern State g;

/* Clears all state and recorded calls; the string table comes from the real resource script. */
void Reset();

/* The recorded calls whose text starts with one of the given names. */
std::vector<std::string> Calls(std::initializer_list<const char *> names);

/* Text of string-table entry `id` as the resource script defines it ("" when absent). */
std::string ResourceString(UINT id);

/* Kelvor's registry key, at the path the string table gives, holding these values. */
void Preset(const std::map<std::string, RegistryValue> &values);

/* A value's bytes: a 32-bit (or `bytes` wide) little-endian number, or a text with its terminator. */
std::string Number(std::int64_t value, size_t bytes = 4);
inline std::string Sz(const std::string &text) { return text + '\0'; }

/* A posted message as the calls record it, spelt with the platform's names for its parts. */
inline std::string Posted(HWND window, UINT message, WPARAM wParam, LPARAM lParam = 0)
{
    return "PostMessageA(" + std::to_string(reinterpret_cast<std::uintptr_t>(window)) + ", " + std::to_string(message) +
           ", " + std::to_string(wParam) + ", " + std::to_string(lParam) + ")";
}

}  // namespace stub

#endif
