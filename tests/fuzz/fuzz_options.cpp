// Fuzzes the whole command line: Kelvor's own tail extraction, then the option parser. Any input
// must stay inside its buffers (the sanitizers watch) and leave a request that makes sense.
#include <cstdint>
#include <cstring>

#include "app/app.h"
#include "invariants.h"
#include "options/options.h"
#include "stubstate.h"

namespace {

void CheckRequest(const SHUTDOWN_REQUEST &r)
{
    int actions = r.LogOff + r.Reboot + r.ShutDown + r.PowerDown;
    bool flags = IsFlag(r.LogOff) && IsFlag(r.Reboot) && IsFlag(r.ShutDown) && IsFlag(r.PowerDown) && IsFlag(r.Force) &&
                 IsFlag(r.Quiet) && IsFlag(r.Show) && IsFlag(r.TimeGiven);
    Check(flags && actions <= 1 && !(r.Quiet && r.Show) && (r.TimeGiven || r.TimeSeconds == 0));
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
    Check(tail >= line && tail <= line + std::strlen(line));
    ParseCommandLine(tail);
    CheckRequest(ShutdownRequest);
    return 0;
}
