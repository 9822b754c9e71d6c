// Command-line options: "-" or "/" followed by a keyword, compared without regard to case. The four
// actions exclude one another, as do Quiet and Show (the last one wins); Force stays once given;
// "Time:" takes the run of digits that follows as the countdown length.
#include <cctype>
#include <cstdint>

#include "app/app.h"
#include "options/options.h"
#include "res/resource.h"

SHUTDOWN_REQUEST ShutdownRequest;

namespace {

constexpr int WordSize = 256;  // a word of 255 characters and its terminator; longer ones are cut

using Flag = int SHUTDOWN_REQUEST::*;

struct Keyword {
    UINT stringId;
    Flag flag;  // compared only while this is 0; set on a match
    Flag clears[3];
};

// In the order each option word is compared with them; "Time:" is handled after these.
constexpr Keyword Keywords[] = {
    {IDS_KEY_LOGOFF,
     &SHUTDOWN_REQUEST::LogOff,
     {&SHUTDOWN_REQUEST::Reboot, &SHUTDOWN_REQUEST::PowerDown, &SHUTDOWN_REQUEST::ShutDown}},
    {IDS_KEY_REBOOT,
     &SHUTDOWN_REQUEST::Reboot,
     {&SHUTDOWN_REQUEST::LogOff, &SHUTDOWN_REQUEST::PowerDown, &SHUTDOWN_REQUEST::ShutDown}},
    {IDS_KEY_SHUTDOWN,
     &SHUTDOWN_REQUEST::ShutDown,
     {&SHUTDOWN_REQUEST::Reboot, &SHUTDOWN_REQUEST::PowerDown, &SHUTDOWN_REQUEST::LogOff}},
    {IDS_KEY_POWERDOWN,
     &SHUTDOWN_REQUEST::PowerDown,
     {&SHUTDOWN_REQUEST::Reboot, &SHUTDOWN_REQUEST::ShutDown, &SHUTDOWN_REQUEST::LogOff}},
    {IDS_KEY_FORCE, &SHUTDOWN_REQUEST::Force, {}},
    {IDS_KEY_QUIET, &SHUTDOWN_REQUEST::Quiet, {&SHUTDOWN_REQUEST::Show}},
    {IDS_KEY_SHOW, &SHUTDOWN_REQUEST::Show, {&SHUTDOWN_REQUEST::Quiet}},
};

// Character classes of the default ("C") locale: bytes 0x80-0xFF are neither.
bool IsSpace(unsigned char c) { return std::isspace(c) != 0; }
bool IsDigit(unsigned char c) { return std::isdigit(c) != 0; }

bool IsKeyword(const char *word, UINT stringId)
{
    LoadStringA(AppInstance, stringId, TextBuffer, TextBufferSize);
    return lstrcmpiA(word, TextBuffer) == 0;
}

// Copies the characters that `accept` takes into word (cut to fit); returns where the run ends.
template <typename Accept> const unsigned char *CopyRun(const unsigned char *p, char (&word)[WordSize], Accept accept)
{
    int n = 0;
    for (; *p != '\0' && accept(*p); ++p)
        if (n < WordSize - 1)
            word[n++] = static_cast<char>(*p);
    word[n] = '\0';
    return p;
}

// "Time:" takes the digits after the blanks that follow it; the value wraps in 32 bits.
const unsigned char *ReadSeconds(const unsigned char *p, char (&word)[WordSize])
{
    while (IsSpace(*p))
        ++p;
    p = CopyRun(p, word, IsDigit);
    std::uint32_t value = 0;
    for (const char *d = word; *d != '\0'; ++d)
        value = value * 10u + static_cast<std::uint32_t>(*d - '0');
    ShutdownRequest.TimeSeconds = static_cast<std::int32_t>(value);
    ShutdownRequest.TimeGiven = 1;
    return p;
}

}  // namespace

void ParseCommandLine(const char *commandLineTail)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(commandLineTail);
    char word[WordSize];
    for (;;) {
        while (IsSpace(*p))
            ++p;
        if (*p != '-' && *p != '/')
            return;  // the end, or a stray word: it and the rest are ignored
        p = CopyRun(p + 1, word, [](unsigned char c) { return !IsSpace(c); });
        // Each row sees the flags as the rows before it left them.
        for (const Keyword &k : Keywords) {
            if (ShutdownRequest.*k.flag != 0 || !IsKeyword(word, k.stringId))
                continue;
            ShutdownRequest.*k.flag = 1;
            for (Flag clear : k.clears)
                if (clear)
                    ShutdownRequest.*clear = 0;
        }
        if (IsKeyword(word, IDS_KEY_TIME))
            p = ReadSeconds(p, word);
    }
}
