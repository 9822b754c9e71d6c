// Fuzzes a whole request: random registry contents (present or not, any type, any size up to
// 64 bytes) merged with a random command line, then the worker carries it out against the
// stand-in, the user pressing OK or Cancel after a few ticks. Nothing may overrun a buffer, and
// what the worker does must follow from the merged request.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

#include "app/app.h"
#include "dialog/countdown.h"
#include "invariants.h"
#include "options/options.h"
#include "stubstate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    stub::Reset();
    ShutdownRequest = SHUTDOWN_REQUEST{};
    CountdownTimerId = 0;
    bool keyExists = in.ConsumeBool();
    std::map<std::string, stub::RegistryValue> values;
    for (const char *name : {"ShutDown.VLX", "ForceMode", "QuietMode", "ShutCount"})
        if (in.ConsumeBool())
            values[name] = {in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)),
                            in.ConsumeIntegral<DWORD>()};
    stub::Preset(values);
    stub::g.keyExists = keyExists;
    stub::g.platformId = in.ConsumeIntegralInRange<DWORD>(1, 2);
    stub::g.pressAfterTicks = in.ConsumeIntegralInRange<int>(0, 3);
    stub::g.press = in.ConsumeBool() ? IDOK : IDCANCEL;
    stub::g.exitOk = in.ConsumeBool();
    std::string line = in.ConsumeRemainingBytesAsString();

    ParseCommandLine(line.c_str());
    ShutdownWorker(nullptr);

    const SHUTDOWN_REQUEST &r = ShutdownRequest;
    Check(IsFlag(r.LogOff) && IsFlag(r.Reboot) && IsFlag(r.ShutDown) && IsFlag(r.PowerDown) && IsFlag(r.Force) &&
          IsFlag(r.Quiet) && IsFlag(r.Show) && IsFlag(r.Disable));
    Check(!(r.Quiet && r.Show));
    Check(std::memchr(r.ModeText, '\0', sizeof r.ModeText) != nullptr);
    std::vector<std::string> exits = stub::Calls({"ExitWindowsEx"});
    bool cancelled = !stub::Calls({"EndDialog"}).empty() && stub::g.dialogResult != 0;
    Check(exits.size() <= 1);
    Check(!(r.Disable && !exits.empty()));
    Check(!(cancelled && !exits.empty()));
    Check(r.Quiet == stub::Calls({"DialogBoxParamA"}).empty() || r.Disable);
    Check(!stub::g.timerRunning && CountdownTimerId == 0);
    Check(stub::Calls({"PostMessageA"}).back() == stub::Posted(nullptr, WM_SYSCOMMAND, SC_CLOSE));
    return 0;
}
