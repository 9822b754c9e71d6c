// Registry presets under HKLM\SOFTWARE\Veltrane\Orvane\Parameters: the mode word ("LogOff",
// "Reboot" or "Disable"), ForceMode, QuietMode and ShutCount. Read once, never written. What the
// command line said explicitly wins; the registry fills in the rest.
#include <cstring>

#include "app/app.h"
#include "options/options.h"
#include "res/resource.h"

namespace {

constexpr int NameSize = 80;
constexpr DWORD NumberSize = 4;
static_assert(sizeof ShutdownRequest.ModeText == 50, "mode text buffer");

// Reads a value of at most `size` bytes into `out`, zero-filled past what was read. A failed read
// (missing, or larger than the buffer) leaves `out` untouched, never half-written.
int ReadValue(HKEY key, const char *name, void *out, DWORD size)
{
    BYTE buffer[sizeof ShutdownRequest.ModeText] = {};
    DWORD length = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, buffer, &length) != ERROR_SUCCESS || length > size)
        return 0;
    std::memcpy(out, buffer, size);
    return 1;
}

int ReadNumber(HKEY key, const char *name, void *out) { return ReadValue(key, name, out, NumberSize); }

bool ModeIs(UINT stringId)
{
    LoadStringA(AppInstance, stringId, TextBuffer, TextBufferSize);
    return lstrcmpA(ShutdownRequest.ModeText, TextBuffer) == 0;
}

}  // namespace

int ReadRegistrySettings()
{
    SHUTDOWN_REQUEST &r = ShutdownRequest;
    char keyPath[NameSize], modeName[NameSize];
    LoadStringA(AppInstance, IDS_REGISTRY_KEY, keyPath, NameSize);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    LoadStringA(AppInstance, IDS_MODE_VALUE, modeName, NameSize);
    int modeRead = ReadValue(key, modeName, r.ModeText, sizeof r.ModeText);
    // A text that fills the buffer without a terminator is no mode word.
    if (modeRead && std::memchr(r.ModeText, '\0', sizeof r.ModeText) == nullptr)
        r.ModeText[0] = '\0';
    int countRead = 0;
    if (modeRead) {
        ReadNumber(key, "ForceMode", &r.ForceMode);
        ReadNumber(key, "QuietMode", &r.QuietMode);
        countRead = ReadNumber(key, "ShutCount", &r.ShutCount);
    }
    RegCloseKey(key);
    return modeRead && countRead;
}

void MergeRegistrySettings()
{
    SHUTDOWN_REQUEST &r = ShutdownRequest;
    // An action on the command line shields the request from the mode word; PowerDown does not.
    if (!r.LogOff && !r.Reboot && !r.ShutDown) {
        if (ModeIs(IDS_KEY_LOGOFF))
            r.LogOff = 1;
        if (ModeIs(IDS_KEY_REBOOT))
            r.Reboot = 1;
        if (ModeIs(IDS_MODE_DISABLE))
            r.Disable = 1;
    }
    if (!r.Quiet && !r.Show)
        r.Quiet = r.QuietMode != 0;
    if (!r.Force)
        r.Force = r.ForceMode != 0;
}
