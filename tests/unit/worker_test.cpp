// The worker and the system exit: the action table, the NT privilege step, the three error boxes.
#include "fixture.h"

namespace {

struct ActionCase {
    int logOff, reboot, shutDown, powerDown, force;
    std::vector<std::string> calls;  // pause and exit request, in order
};

// Every row of the action table, plus the combinations only the registry merge can make.
const ActionCase ActionCases[] = {
    {1, 0, 0, 0, 0, {"ExitWindowsEx(0, 0)"}},
    {0, 1, 0, 0, 0, {"ExitWindowsEx(2, 0)"}},
    {0, 0, 0, 1, 0, {"ExitWindowsEx(8, 0)"}},
    {0, 0, 0, 0, 0, {"Sleep(1000)", "ExitWindowsEx(1, 0)"}},
    {0, 0, 1, 0, 0, {"Sleep(1000)", "ExitWindowsEx(1, 0)"}},
    {1, 0, 0, 0, 1, {"Sleep(1000)", "ExitWindowsEx(4, 0)"}},
    {0, 1, 0, 0, 1, {"ExitWindowsEx(6, 0)"}},
    {0, 0, 0, 1, 1, {"ExitWindowsEx(12, 0)"}},
    {0, 0, 0, 0, 1, {"Sleep(1000)", "ExitWindowsEx(5, 0)"}},
    {0, 0, 1, 0, 1, {"Sleep(1000)", "ExitWindowsEx(5, 0)"}},
    {1, 0, 0, 1, 0, {"ExitWindowsEx(0, 0)"}},
    {0, 1, 0, 1, 1, {"ExitWindowsEx(6, 0)"}},
};

TEST_F(KelvorTest, EachActionMakesItsExitRequestAfterItsPause)
{
    for (const ActionCase &c : ActionCases) {
        stub::Reset();
        SHUTDOWN_REQUEST &r = ShutdownRequest;
        r.LogOff = c.logOff, r.Reboot = c.reboot, r.ShutDown = c.shutDown, r.PowerDown = c.powerDown;
        r.Force = c.force;
        r.Quiet = 1;
        EXPECT_EQ(PerformSystemExit(), 0);
        EXPECT_EQ(stub::Calls({"Sleep", "ExitWindowsEx"}), c.calls)
            << "LogOff " << c.logOff << " Reboot " << c.reboot << " ShutDown " << c.shutDown << " PowerDown "
            << c.powerDown << " Force " << c.force;
    }
}

TEST_F(KelvorTest, OnNtThePrivilegeIsEnabledBeforeTheRequest)
{
    ShutdownRequest.Quiet = 1;
    ShutdownRequest.Reboot = 1;
    EXPECT_EQ(PerformSystemExit(), 0);
    EXPECT_THAT(stub::Calls({"OutputDebugStringA", "OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges",
                             "CloseHandle", "ExitWindowsEx", "MessageBoxA"}),
                ElementsAre("OutputDebugStringA(\"Setting token\")",
                            "OpenProcessToken(" + std::to_string(UINTPTR_MAX) + ", 40)",
                            "LookupPrivilegeValueA(null, \"SeShutdownPrivilege\")",
                            "AdjustTokenPrivileges(112, 0, 1, 19, 2, 0, 0, 0)", "CloseHandle(112)",
                            "ExitWindowsEx(2, 0)"));
}

TEST_F(KelvorTest, NineXSkipsThePrivilegeAndTheDebuggerLine)
{
    stub::g.platformId = VER_PLATFORM_WIN32_WINDOWS;
    ShutdownRequest.Quiet = 1;
    EXPECT_EQ(PerformSystemExit(), 0);
    EXPECT_THAT(stub::Calls({"OutputDebugStringA", "OpenProcessToken", "AdjustTokenPrivileges", "ExitWindowsEx"}),
                ElementsAre("ExitWindowsEx(1, 0)"));
}

using stub::State;

struct FailureCase {
    BOOL State::*failing;  // the call that fails
    DWORD error;
    const char *box;
    bool exitRequested;
};

TEST_F(KelvorTest, EachFailureShowsItsBoxWithTheCallsErrorCode)
{
    const FailureCase cases[] = {
        {&State::openTokenOk, 5, "OpenProcessToken Error #5", false},
        {&State::adjustOk, 1300, "AdjustTokenPrivileges Error #1300", false},
        {&State::exitOk, 1234, "ExitWindows Error #1234", true},
        {&State::exitOk, 0xFFFFFFFF, "ExitWindows Error #-1", true},  // shown signed
    };
    for (const FailureCase &c : cases) {
        stub::Reset();
        stub::g.*c.failing = FALSE;
        stub::g.failureError = c.error;
        ShutdownRequest.Quiet = 1;
        EXPECT_EQ(PerformSystemExit(), 1) << c.box;
        EXPECT_THAT(stub::Calls({"MessageBoxA"}),
                    ElementsAre("MessageBoxA(0, \"" + std::string(c.box) + "\", \"Orvane\", 48)"));
        EXPECT_EQ(stub::Calls({"ExitWindowsEx"}).size(), c.exitRequested ? 1u : 0u) << c.box;
        // A token opened is released, whatever followed.
        EXPECT_EQ(stub::Calls({"CloseHandle"}).size(), c.failing == &State::openTokenOk ? 0u : 1u) << c.box;
    }
}

TEST_F(KelvorTest, CancelOrAFailedDialogStopsBeforeAnyPrivilegeOrExit)
{
    stub::g.pressAfterTicks = 0;
    stub::g.press = IDCANCEL;
    ShutdownRequest.TimeGiven = 1;
    ShutdownRequest.TimeSeconds = 10;
    EXPECT_EQ(PerformSystemExit(), 1);
    stub::Reset();
    stub::g.dialogFails = true;
    EXPECT_EQ(PerformSystemExit(), 1);
    EXPECT_THAT(stub::Calls({"OutputDebugStringA", "OpenProcessToken", "ExitWindowsEx", "MessageBoxA", "Sleep"}),
                IsEmpty());
}

TEST_F(KelvorTest, DefaultRequestCountsFromZeroThenShutsDown)
{
    EXPECT_EQ(PerformSystemExit(), 0);
    EXPECT_THAT(stub::Calls({"DialogBoxParamA", "SetDlgItemInt", "DialogBoxParamA.end", "Sleep", "ExitWindowsEx"}),
                ElementsAre("DialogBoxParamA(105, 256, 0)", "SetDlgItemInt(512, 1004, \"0\", 1)",
                            "DialogBoxParamA.end(0)", "Sleep(1000)", "ExitWindowsEx(1, 0)"));
    EXPECT_EQ(stub::g.ticks, 1);
}

// Whatever ends the worker's run (acting, a failure, a Disable the registry sets), it then closes
// the main window: without that close the process never ends.
TEST_F(KelvorTest, WorkerAlwaysClosesTheMainWindowLast)
{
    struct {
        const char *what;
        void (*arrange)();
        std::vector<std::string> calls;  // exit request, box, close, thread end
    } const cases[] = {
        {"Disable left from before the worker: cleared",
         [] { ShutdownRequest.Disable = 1; },
         {"ExitWindowsEx(1, 0)", CloseCommand(), "_endthread()"}},
        {"Disable from the registry",
         [] {
             stub::Preset({{"ShutDown.VLX", {stub::Sz("Disable"), 1}}, {"ShutCount", {stub::Number(0), 4}}});
         },
         {CloseCommand(), "_endthread()"}},
        {"a failed exit call",
         [] { stub::g.exitOk = FALSE; },
         {"ExitWindowsEx(1, 0)", "MessageBoxA(0, \"ExitWindows Error #5\", \"Orvane\", 48)", CloseCommand(),
          "_endthread()"}},
    };
    for (const auto &c : cases) {
        stub::Reset();
        ShutdownRequest = SHUTDOWN_REQUEST{};
        ShutdownRequest.Quiet = 1;
        c.arrange();
        ShutdownWorker(nullptr);
        EXPECT_EQ(stub::Calls({"ExitWindowsEx", "MessageBoxA", "PostMessageA", "_endthread"}), c.calls) << c.what;
        EXPECT_EQ(ShutdownRequest.Disable, c.calls.size() == 2 ? 1 : 0) << c.what;
    }
}

}  // namespace
