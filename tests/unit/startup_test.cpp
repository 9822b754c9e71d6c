// Start-up: the command-line tail, WinMain's sequence and failures, and the main window's messages.
#include "fixture.h"

#include "res/resource.h"

namespace {

struct TailCase {
    const char *line;
    const char *tail;
};

// Where these differ from a C runtime's rules is the point: quotes do not toggle, "" is one pair,
// a leading blank hands over the program name, bytes above 0x7F belong to the name.
const TailCase TailCases[] = {
    {"Kelvor.exe /Reboot", "/Reboot"},
    {"Kelvor.exe", ""},
    {"", ""},
    {"Kelvor.exe \t\r\n/Force /Quiet", "/Force /Quiet"},
    {"\"C:\\Tools\\Kelvor.exe\"/Reboot", "/Reboot"},
    {"\"C:\\Program Files\\Kelvor.exe\" /Reboot", "/Reboot"},
    {"\"\"/Reboot", "/Reboot"},
    {"\"\" C:\\Kelvor.exe /Reboot", "C:\\Kelvor.exe /Reboot"},
    {"\"C:\\Tools\\Kelvor.exe /Reboot", ""},
    {"\"", ""},
    {" Kelvor.exe /Reboot", "Kelvor.exe /Reboot"},
    {"  /Reboot", "/Reboot"},
    {"a\"b c\" /Force", "c\" /Force"},
    {"\xE9vor.exe /Reboot", "/Reboot"},
    {"\x01\x02/Show", "/Show"},
};

TEST(CommandLineTail, FindsTheTailByTheModulesOwnRules)
{
    for (const TailCase &c : TailCases)
        EXPECT_STREQ(CommandLineTail(c.line), c.tail) << "line: [" << c.line << "]";
}

class WinMainTest : public KelvorTest {
protected:
    HWND earlier = stub::Handle(0x900);
    HWND self = stub::Handle(0x100);

    int Run(const char *tail = "")
    {
        return WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, const_cast<LPSTR>(tail), 1);
    }
};

TEST_F(WinMainTest, Win32sEndsAtOnceWithNothingCreated)
{
    stub::g.platformId = VER_PLATFORM_WIN32s;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::g.calls, ElementsAre("GetVersionExA(148)"));
}

TEST_F(WinMainTest, UnknownVersionIsNotTakenForWin32s)
{
    stub::g.versionOk = FALSE;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"CreateWindowExA"}), ::testing::SizeIs(1));
}

TEST_F(WinMainTest, ClearsTheFlagsAndKeepsTheWindowItCreated)
{
    SHUTDOWN_REQUEST &r = ShutdownRequest;
    r.LogOff = r.Reboot = r.ShutDown = r.PowerDown = r.Force = r.Quiet = r.Show = r.TimeGiven = 1;
    r.ForceMode = r.QuietMode = 7;
    MainWindow = nullptr;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(r.LogOff | r.Reboot | r.ShutDown | r.PowerDown | r.Force | r.Quiet | r.Show | r.TimeGiven, 0);
    EXPECT_EQ(r.ForceMode | r.QuietMode, 0u);
    EXPECT_EQ(MainWindow, self);
    EXPECT_EQ(AppInstance, reinterpret_cast<HINSTANCE>(0x400000));
    EXPECT_STREQ(ClassName, "KelvorNT");
    EXPECT_STREQ(Caption, "Orvane");
}

TEST_F(WinMainTest, EndsAnEarlierInstanceAndWaitsForItToVanish)
{
    stub::g.identity = {{earlier, 250}};
    EXPECT_EQ(Run(), 0);
    const std::string find = "FindWindowExA(0, 0, \"KelvorNT\", \"Orvane\")";
    const std::string next = "FindWindowExA(0, 2304, \"KelvorNT\", \"Orvane\")";
    // Told as soon as it is found; each later walk looks for others too.
    std::vector<std::string> expected = {find,
                                         Posted(earlier, WM_DESTROY, 1),
                                         Posted(earlier, WM_NCDESTROY, 1),
                                         "Sleep(100)",
                                         find,
                                         next,
                                         "Sleep(100)",
                                         find,
                                         next,
                                         "Sleep(100)",
                                         find,
                                         "RegisterClassExA(" + std::to_string(sizeof(WNDCLASSEXA)) +
                                             ", 3, 0, 0, 0, 81, 82, 6, null, \"KelvorNT\")"};
    std::vector<std::string> calls = stub::Calls({"FindWindowExA", "PostMessageA", "Sleep", "RegisterClassExA"});
    calls.resize(expected.size());
    EXPECT_EQ(calls, expected);
}

struct BlockedHandOverCase {
    const char *what;
    std::vector<stub::State::IdentityWindow> windows;
    DWORD waitedMs;  // until this instance creates its window
};

// A window that does not go (its posts ignored, its process stopped, or posts refused across
// integrity levels: error 5) holds the request no longer than the bound, and a genuine Kelvor
// behind it is still ended; whatever else answers to the identity, the worker closes its own.
TEST_F(WinMainTest, AWindowThatCannotBeEndedHoldsTheRequestOnlyForTheBound)
{
    const HWND other = stub::Handle(0x901);
    const BlockedHandOverCase cases[] = {
        {"posts taken, never gone", {{earlier}}, HandOverBoundMs},
        {"posts refused", {{earlier, INFINITE, true}}, 0},
        {"imitation before a genuine one", {{earlier}, {other, 300}}, HandOverBoundMs},
        {"refused before a genuine one", {{earlier, INFINITE, true}, {other, 300}}, 300},
        {"a genuine one gone at its post, before an imitation",
         {{other, INFINITE, false, true}, {earlier}},
         HandOverBoundMs},
    };
    for (const BlockedHandOverCase &c : cases) {
        stub::Reset();
        stub::g.identity = c.windows;
        stub::g.runWorkerInline = true;
        EXPECT_EQ(Run("/Quiet /Reboot"), 0) << c.what;
        std::vector<std::string> posts;
        for (const auto &w : c.windows)
            for (UINT message : {WM_DESTROY, WM_NCDESTROY})
                posts.push_back(Posted(w.handle, message, 1));
        posts.push_back(CloseCommand());
        EXPECT_EQ(stub::Calls({"PostMessageA"}), posts) << c.what;
        EXPECT_THAT(stub::Calls({"Sleep"}), ::testing::Each("Sleep(100)")) << c.what;
        EXPECT_EQ(stub::Calls({"Sleep"}).size(), c.waitedMs / 100) << c.what;
        EXPECT_THAT(stub::Calls({"CreateWindowExA", "ReleaseMutex", "ExitWindowsEx"}),
                    ElementsAre(::testing::StartsWith("CreateWindowExA"), "ReleaseMutex(96)", "ExitWindowsEx(2, 0)"))
            << c.what;
        EXPECT_EQ(MainWindow, self) << c.what;
    }
}

TEST_F(WinMainTest, InstancesTakeTurnsFromHandOverUntilTheirWindowIsCreated)
{
    stub::g.identity = {{earlier, 100}};
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"CreateMutexA", "WaitForSingleObject", "PostMessageA", "CreateWindowExA", "ReleaseMutex",
                             "CloseHandle", "_beginthread"}),
                ElementsAre("CreateMutexA(0, \"KelvorNT hand-over\")",
                            "WaitForSingleObject(96, " + std::to_string(TurnBoundMs) + ")",
                            ::testing::StartsWith("PostMessageA"), ::testing::StartsWith("PostMessageA"),
                            ::testing::StartsWith("CreateWindowExA"), "ReleaseMutex(96)", "CloseHandle(96)",
                            "_beginthread(0, 0)"));
    EXPECT_EQ(MainWindow, self);

    // Without a turn to take (no mutex, or one never given), the hand-over runs as before; a
    // failure still gives the turn up.
    for (bool noMutex : {true, false}) {
        stub::Reset();
        stub::g.mutexFails = noMutex;
        stub::g.turnTimesOut = !noMutex;
        stub::g.identity = {{earlier, 100}};
        EXPECT_EQ(Run(), 0);
        EXPECT_THAT(stub::Calls({"ReleaseMutex"}), IsEmpty());
        EXPECT_THAT(stub::Calls({"PostMessageA", "CreateWindowExA"}), ::testing::SizeIs(3));
    }
    stub::Reset();
    stub::g.createWindow = nullptr;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"ReleaseMutex"}), ElementsAre("ReleaseMutex(96)"));
}

TEST_F(WinMainTest, RegistersTheClassAndTrimsTheHiddenWindow)
{
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"LoadImageA", "LoadCursorA"}),
                ElementsAre("LoadImageA(101, 1, 16, 16, 0)", "LoadCursorA(0, 32512)"));
    EXPECT_THAT(stub::Calls({"CreateWindowExA", "DeleteMenu", "ShowWindow", "UpdateWindow", "_beginthread"}),
                ElementsAre("CreateWindowExA(0, \"KelvorNT\", \"Orvane\", 2160590848, 0, 0, 0, 0, 0, 0)",
                            "DeleteMenu(768, 61472, 0)", "DeleteMenu(768, 61488, 0)", "DeleteMenu(768, 61728, 0)",
                            "DeleteMenu(768, 61440, 0)", "ShowWindow(256, 0)", "UpdateWindow(256)",
                            "_beginthread(0, 0)"));
    EXPECT_THAT(stub::Calls({"RegisterClassA"}), IsEmpty());
}

TEST_F(WinMainTest, FallsBackToThePlainClassRecordThenGivesUp)
{
    stub::g.registerClassExOk = FALSE;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"RegisterClassA"}), ElementsAre("RegisterClassA(3, 0, 0, 0, 82, 6, null, \"KelvorNT\")"));
    EXPECT_THAT(stub::Calls({"CreateWindowExA"}), ::testing::SizeIs(1));

    stub::Reset();
    stub::g.registerClassExOk = stub::g.registerClassOk = FALSE;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"CreateWindowExA", "_beginthread", "GetMessageA"}), IsEmpty());
}

TEST_F(WinMainTest, WindowCreationFailureEndsQuietly)
{
    stub::g.createWindow = nullptr;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"_beginthread", "GetMessageA", "MessageBoxA"}), IsEmpty());
}

TEST_F(WinMainTest, WorkerThatCannotStartClosesTheWindowInsteadOfWaitingForEver)
{
    stub::g.beginThread = static_cast<std::uintptr_t>(-1);
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"DestroyWindow", "GetMessageA"}), ElementsAre("DestroyWindow(256)"));
}

TEST_F(WinMainTest, DefaultRequestRunsToTheEndAndTheLoopQuitsOnTheWorkersClose)
{
    stub::g.runWorkerInline = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"ExitWindowsEx", "PostMessageA", "DestroyWindow", "PostQuitMessage", "GetMessageA"}),
                ElementsAre(Posted(stub::g.dialog, WM_COMMAND, IDOK), "ExitWindowsEx(1, 0)", CloseCommand(),
                            "DestroyWindow(256)", "PostQuitMessage(0)", "GetMessageA(\"quit\")"));
}

TEST_F(WinMainTest, AFailingMessageLoopStillEndsWithExitCodeZero)
{
    stub::g.queue.push_back(MSG{self, 0x0400, 7, 0, 0, {0, 0}});  // WM_USER; leaves wParam 7 behind
    stub::g.getMessageFails = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"GetMessageA"}), ElementsAre("GetMessageA(\"error\")"));
}

TEST_F(WinMainTest, TheTailChoosesTheRequestAfterTheFlagsAreCleared)
{
    ShutdownRequest.Force = 1;
    stub::g.runWorkerInline = true;
    EXPECT_EQ(Run("/Quiet /Reboot"), 0);
    EXPECT_THAT(stub::Calls({"DialogBoxParamA", "ExitWindowsEx"}), ElementsAre("ExitWindowsEx(2, 0)"));
}

struct WindowMessageCase {
    UINT message;
    WPARAM wParam;
    const char *effect;  // the call the message leads to
    LRESULT result;
};

TEST_F(KelvorTest, MainWindowHandlesOnlyDestroyRestoreAndClose)
{
    const WindowMessageCase cases[] = {
        {WM_DESTROY, 0, "PostQuitMessage(0)", 0},
        {WM_QUERYOPEN, 0, nullptr, 0},
        {WM_SYSCOMMAND, SC_CLOSE, "DestroyWindow(256)", 0},
        {WM_SYSCOMMAND, 0x1F060, "DestroyWindow(256)", 0},  // only the low 16 bits count
        {WM_SYSCOMMAND, SC_CLOSE | 2, "DefWindowProcA(256, 274, 61538, 0)", 0x7777},
        {WM_SYSCOMMAND, SC_MINIMIZE, "DefWindowProcA(256, 274, 61472, 0)", 0x7777},
        {0x000F, 0, "DefWindowProcA(256, 15, 0, 0)", 0x7777},
    };
    for (const WindowMessageCase &c : cases) {
        stub::Reset();
        CountdownTimerId = 9;
        EXPECT_EQ(MainWindowProc(stub::Handle(0x100), c.message, c.wParam, 0), c.result) << c.message;
        if (c.effect)
            EXPECT_THAT(stub::g.calls, ElementsAre(c.effect)) << c.message;
        else
            EXPECT_THAT(stub::g.calls, IsEmpty());
        EXPECT_EQ(CountdownTimerId, std::string(c.effect ? c.effect : "").rfind("DestroyWindow", 0) == 0 ? 0 : 9);
    }
}

}  // namespace
