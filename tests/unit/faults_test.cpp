// Fault injection: each platform call the module makes fails in turn, on a whole run from WinMain.
// The module must end with exit code 0, show exactly the box its design names (or none), and
// never ask for an exit after a failure that should stop it.
#include "fixture.h"

#include <functional>

#include "res/resource.h"

namespace {

struct FaultCase {
    const char *fault;
    std::function<void()> inject;
    const char *box;          // the one error box expected, or nullptr
    const char *exitRequest;  // the exit request expected, or nullptr
};

void Registry()
{
    stub::Preset({{"ShutDown.VLX", {stub::Sz("Reboot"), 1}},
                  {"ForceMode", {stub::Number(1), 4}},
                  {"QuietMode", {stub::Number(0), 4}},
                  {"ShutCount", {stub::Number(2), 4}}});
}

TEST_F(KelvorTest, EveryFailingCallEndsCleanlyWithItsBoxOrNone)
{
    using stub::g;
    const FaultCase cases[] = {
        {"nothing fails", [] {}, nullptr, "ExitWindowsEx(6, 0)"},
        {"token open", [] { g.openTokenOk = FALSE; }, "OpenProcessToken Error #5", nullptr},
        {"privilege lookup", [] { g.lookupOk = FALSE; }, nullptr, "ExitWindowsEx(6, 0)"},
        {"privilege adjust", [] { g.adjustOk = FALSE; }, "AdjustTokenPrivileges Error #5", nullptr},
        {"exit call", [] { g.exitOk = FALSE; }, "ExitWindows Error #5", "ExitWindowsEx(6, 0)"},
        {"extended class", [] { g.registerClassExOk = FALSE; }, nullptr, "ExitWindowsEx(6, 0)"},
        {"both classes", [] { g.registerClassExOk = g.registerClassOk = FALSE; }, nullptr, nullptr},
        {"window creation", [] { g.createWindow = nullptr; }, nullptr, nullptr},
        {"worker thread", [] { g.beginThread = static_cast<std::uintptr_t>(-1); }, nullptr, nullptr},
        {"dialog creation", [] { g.dialogFails = true; }, nullptr, nullptr},
        // Without a timer the dialog waits for the user: unanswered, it never ends (the stand-in
        // gives up on it); OK goes ahead, Cancel abandons.
        {"dialog timer", [] { g.setTimerResult = 0; }, nullptr, nullptr},
        {"dialog timer, then OK",
         [] {
             g.setTimerResult = 0;
             g.pressAfterTicks = 0, g.press = IDOK;
         },
         nullptr, "ExitWindowsEx(6, 0)"},
        {"dialog timer, then Cancel",
         [] {
             g.setTimerResult = 0;
             g.pressAfterTicks = 0, g.press = IDCANCEL;
         },
         nullptr, nullptr},
        {"registry open", [] { g.keyExists = false; }, nullptr, "ExitWindowsEx(1, 0)"},
        {"mode value", [] { g.values.erase("ShutDown.VLX"); }, nullptr, "ExitWindowsEx(1, 0)"},
        {"ForceMode value", [] { g.values.erase("ForceMode"); }, nullptr, "ExitWindowsEx(2, 0)"},
        {"QuietMode value", [] { g.values.erase("QuietMode"); }, nullptr, "ExitWindowsEx(6, 0)"},
        {"ShutCount value", [] { g.values.erase("ShutCount"); }, nullptr, "ExitWindowsEx(1, 0)"},
        {"error label",
         [] {
             g.exitOk = FALSE;
             g.loadStringFails[IDS_ERR_EXIT_WINDOWS] = 1;
         },
         " #5", "ExitWindowsEx(6, 0)"},
        {"registry key path", [] { g.loadStringFails[IDS_REGISTRY_KEY] = 1; }, nullptr, "ExitWindowsEx(1, 0)"},
        {"dialog texts", [] { g.loadStringFails[IDS_REBOOT_LABEL] = g.loadStringFails[IDS_REBOOT_HINT] = 1; }, nullptr,
         "ExitWindowsEx(6, 0)"},
    };
    for (const FaultCase &c : cases) {
        stub::Reset();
        ShutdownRequest = SHUTDOWN_REQUEST{};
        Registry();
        g.runWorkerInline = true;
        c.inject();
        EXPECT_EQ(WinMain(nullptr, nullptr, const_cast<LPSTR>(""), 1), 0) << c.fault;
        std::vector<std::string> boxes = stub::Calls({"MessageBoxA"});
        if (c.box)
            EXPECT_THAT(boxes, ElementsAre("MessageBoxA(0, \"" + std::string(c.box) + "\", \"Orvane\", 48)"))
                << c.fault;
        else
            EXPECT_THAT(boxes, IsEmpty()) << c.fault;
        std::vector<std::string> exits = stub::Calls({"ExitWindowsEx"});
        if (c.exitRequest)
            EXPECT_THAT(exits, ElementsAre(c.exitRequest)) << c.fault;
        else
            EXPECT_THAT(exits, IsEmpty()) << c.fault;
        EXPECT_FALSE(g.timerRunning) << c.fault;
    }
}

TEST_F(KelvorTest, WithoutATimerTheDialogShowsItsCountAndWaitsForTheUser)
{
    using stub::g;
    ShutdownRequest.ShutCount = 5;
    g.setTimerResult = 0;
    EXPECT_EQ(PerformSystemExit(), 1);
    EXPECT_THAT(stub::Calls({"DialogBoxParamA.end", "PostMessageA", "EndDialog"}),
                ElementsAre("DialogBoxParamA.end(-2)"));  // still open when the stand-in gave up
    EXPECT_EQ(g.itemTexts[IDC_COUNT], "5");
    EXPECT_THAT(stub::Calls({"OpenProcessToken", "ExitWindowsEx", "MessageBoxA"}), IsEmpty());
}

}  // namespace
