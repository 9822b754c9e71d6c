// Fuzzes the whole command line: Kelvor's own tail extraction, then the option parser. Any input
// must stay inside its buffers (the sanitizers watch) and leave a request that makes sense.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "options/options.h"
#include "stubstate.h"

namespace {

bool IsFlag(int value) { return value == 0 || value == 1; }

void CheckRequest(const SHUTDOWN_REQUEST &r)
{
    int actions = r.LogOff + r.Reboot + r.ShutDown + r.PowerDown;
    bool flags = IsFlag(r.LogOff) && IsFlag(r.Reboot) && IsFlag(r.ShutDown) && IsFlag(r.PowerDown) && IsFlag(r.Force) &&
                 IsFlag(r.Quiet) && IsFlag(r.Show) && IsFlag(r.TimeGiven);
    if (!flags || actions > 1 || (r.Quiet && r.Show) || (!r.TimeGiven && r.TimeSeconds != 0))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static char line[1 << 16];
    std::size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
    std::memcpy(line, data, n);
    line[n] = '\0';

    stub::Reset();
    ShutdownRequest = SHUTDOWN_REQUEST{};
    const char *tail = CommandLineTail(line);
    if (tail < line || tail > line + std::strlen(line))
        std::abort();
    ParseCommandLine(tail);
    CheckRequest(ShutdownRequest);
    return 0;
}
