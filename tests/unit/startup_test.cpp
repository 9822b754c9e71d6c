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
    stub::g.findWindow = {nullptr, self};
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"CreateWindowExA"}), ::testing::SizeIs(1));
}

TEST_F(WinMainTest, ClearsTheFlagsAndKeepsTheMainWindowFoundByIdentity)
{
    SHUTDOWN_REQUEST &r = ShutdownRequest;
    r.LogOff = r.Reboot = r.ShutDown = r.PowerDown = r.Force = r.Quiet = r.Show = r.TimeGiven = 1;
    r.ForceMode = r.QuietMode = 7;
    MainWindow = nullptr;
    stub::g.findWindow = {nullptr, self};
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
    stub::g.findWindow = {earlier, earlier, earlier, nullptr, self};
    EXPECT_EQ(Run(), 0);
    std::vector<std::string> expected = {"FindWindowA(\"KelvorNT\", \"Orvane\")",
                                         "PostMessageA(2304, 2, 1, 0)",
                                         "PostMessageA(2304, 130, 1, 0)",
                                         "Sleep(100)",
                                         "FindWindowA(\"KelvorNT\", \"Orvane\")",
                                         "Sleep(100)",
                                         "FindWindowA(\"KelvorNT\", \"Orvane\")",
                                         "Sleep(100)",
                                         "FindWindowA(\"KelvorNT\", \"Orvane\")",
                                         "RegisterClassExA(" + std::to_string(sizeof(WNDCLASSEXA)) +
                                             ", 3, 0, 0, 0, 81, 82, 6, null, \"KelvorNT\")"};
    std::vector<std::string> calls = stub::Calls({"FindWindowA", "PostMessageA", "Sleep", "RegisterClassExA"});
    calls.resize(expected.size());
    EXPECT_EQ(calls, expected);
}

TEST_F(WinMainTest, InstancesTakeTurnsFromHandOverUntilTheirWindowIsFound)
{
    stub::g.findWindow = {earlier, nullptr, self};
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"CreateMutexA", "WaitForSingleObject", "FindWindowA", "CreateWindowExA", "ReleaseMutex",
                             "CloseHandle", "_beginthread"}),
                ElementsAre("CreateMutexA(0, \"KelvorNT hand-over\")", "WaitForSingleObject(96, 4294967295)",
                            ::testing::StartsWith("FindWindowA"), ::testing::StartsWith("FindWindowA"),
                            ::testing::StartsWith("CreateWindowExA"), ::testing::StartsWith("FindWindowA"),
                            "ReleaseMutex(96)", "CloseHandle(96)", "_beginthread(0, 0)"));
    EXPECT_EQ(MainWindow, self);

    // Without a turn to take (no mutex), the hand-over runs as before; a failure still gives it up.
    stub::Reset();
    stub::g.mutexFails = true;
    stub::g.createWindow = nullptr;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"WaitForSingleObject", "ReleaseMutex", "_beginthread"}), IsEmpty());
    stub::Reset();
    stub::g.createWindow = nullptr;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"ReleaseMutex"}), ElementsAre("ReleaseMutex(96)"));
}

TEST_F(WinMainTest, RegistersTheClassAndTrimsTheHiddenWindow)
{
    stub::g.findWindow = {nullptr, self};
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
    stub::g.findWindow = {nullptr, self};
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
    stub::g.findWindow = {nullptr, self};
    stub::g.beginThread = static_cast<std::uintptr_t>(-1);
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"DestroyWindow", "GetMessageA"}), ElementsAre("DestroyWindow(256)"));
}

TEST_F(WinMainTest, DefaultRequestRunsToTheEndAndTheLoopQuitsOnTheWorkersClose)
{
    stub::g.findWindow = {nullptr, self};
    stub::g.runWorkerInline = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"ExitWindowsEx", "PostMessageA", "DestroyWindow", "PostQuitMessage", "GetMessageA"}),
                ElementsAre("PostMessageA(512, 273, 1, 0)", "ExitWindowsEx(1, 0)", "PostMessageA(256, 274, 61536, 0)",
                            "DestroyWindow(256)", "PostQuitMessage(0)", "GetMessageA(\"quit\")"));
}

TEST_F(WinMainTest, AFailingMessageLoopStillEndsWithExitCodeZero)
{
    stub::g.findWindow = {nullptr, self};
    stub::g.queue.push_back(MSG{self, 0x0400, 7, 0, 0, {0, 0}});  // WM_USER; leaves wParam 7 behind
    stub::g.getMessageFails = true;
    EXPECT_EQ(Run(), 0);
    EXPECT_THAT(stub::Calls({"GetMessageA"}), ElementsAre("GetMessageA(\"error\")"));
}

TEST_F(WinMainTest, TheTailChoosesTheRequestAfterTheFlagsAreCleared)
{
    ShutdownRequest.Force = 1;
    stub::g.findWindow = {nullptr, self};
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
