// The countdown dialog: placement, texts per action, the count, and how it ends.
#include "fixture.h"

#include "res/resource.h"

namespace {

const HWND Dialog = stub::Handle(0x200);

std::vector<std::string> Counts()
{
    std::vector<std::string> shown;
    for (const std::string &call : stub::Calls({"SetDlgItemInt"}))
        shown.push_back(call.substr(call.find('"') + 1, call.rfind('"') - call.find('"') - 1));
    return shown;
}

struct PlacementCase {
    RECT rect;
    int screenWidth, screenHeight;
    int x, y;
};

TEST_F(KelvorTest, DialogIsCentredAThirdDownTopmostWithoutActivation)
{
    const PlacementCase cases[] = {
        {{0, 0, 300, 200}, 1024, 768, 362, 189},
        {{40, 50, 341, 251}, 1024, 768, 361, 189},  // odd sizes truncate
        {{0, 0, 301, 201}, 200, 100, -50, -33},     // larger than the screen: toward zero, not down
        {{0, 0, 0, 0}, 0, 0, 0, 0},
    };
    for (const PlacementCase &c : cases) {
        stub::Reset();
        stub::g.windowRect = c.rect;
        stub::g.screenWidth = c.screenWidth;
        stub::g.screenHeight = c.screenHeight;
        PlaceDialog(Dialog);
        EXPECT_THAT(stub::g.calls, ElementsAre("SetWindowPos(512, " + std::to_string(UINTPTR_MAX) + ", " +
                                                   std::to_string(c.x) + ", " + std::to_string(c.y) + ", 0, 0, 17)",
                                               "SetWindowTextA(512, \"Orvane\")"));
    }
}

// Cancel becomes the default button and takes the focus, so that neither Enter nor Space confirms.
TEST_F(KelvorTest, InitPlacesThenRaisesThenGuardsCancelThenFillsThenStartsTheTimer)
{
    ShutdownRequest.ShutCount = 7;
    EXPECT_EQ(CountdownDialogProc(Dialog, WM_INITDIALOG, 0, 0), 0);
    const std::string cancel = std::to_string(0x200 + IDCANCEL);
    EXPECT_THAT(stub::g.calls,
                ElementsAre(::testing::StartsWith("SetWindowPos(512"), "SetWindowTextA(512, \"Orvane\")",
                            "BringWindowToTop(512)", "SetForegroundWindow(512)",
                            "SendMessageA(512, " + std::to_string(DM_SETDEFID) + ", 2, 0)", "SetFocus(" + cancel + ")",
                            "SetDlgItemInt(512, 1004, \"7\", 1)", "SetTimer(512, 1, 1000, 0)"));
    EXPECT_EQ(CountdownTimerId, 1);
}

struct TextsCase {
    int logOff, reboot, powerDown;
    UINT label, hint, message;  // 0: the template's text stays
};

TEST_F(KelvorTest, TextsNameTheComingAction)
{
    const TextsCase cases[] = {
        {1, 0, 0, IDS_LOGOFF_LABEL, IDS_LOGOFF_HINT, IDS_LOGOFF_MESSAGE},
        {0, 1, 0, IDS_REBOOT_LABEL, IDS_REBOOT_HINT, IDS_REBOOT_MESSAGE},
        {0, 0, 1, 0, 0, 0},
        {0, 0, 0, 0, 0, 0},
    };
    for (const TextsCase &c : cases) {
        stub::Reset();
        ShutdownRequest.LogOff = c.logOff, ShutdownRequest.Reboot = c.reboot, ShutdownRequest.PowerDown = c.powerDown;
        CountdownDialogProc(Dialog, WM_INITDIALOG, 0, 0);
        std::map<int, std::string> expected;
        if (c.label)
            expected = {{IDC_ACTION_LABEL, stub::ResourceString(c.label)},
                        {IDC_HINT, stub::ResourceString(c.hint)},
                        {IDC_MESSAGE, stub::ResourceString(c.message)},
                        {IDC_COUNT, "0"}};
        else
            expected = {{IDC_COUNT, "0"}};
        EXPECT_EQ(stub::g.itemTexts, expected);
    }
    EXPECT_EQ(stub::ResourceString(IDS_REBOOT_LABEL), "Reboot will occur in:");
}

struct CountCase {
    int timeGiven, timeSeconds, shutCount;
    std::vector<std::string> shown;
};

TEST_F(KelvorTest, CountRunsDownOncePerTickThenGoesAheadOneTickAfterZero)
{
    const CountCase cases[] = {
        {1, 5, 99, {"5", "4", "3", "2", "1", "0"}},
        {0, 5, 2, {"2", "1", "0"}},  // no Time: given, the registry's length
        {0, 0, 0, {"0"}},
        {0, 0, -3, {"-3"}},  // negative: shown signed, ends on the first tick
        {1, -2147483647 - 1, 0, {"-2147483648"}},
    };
    for (const CountCase &c : cases) {
        stub::Reset();
        ShutdownRequest.TimeGiven = c.timeGiven, ShutdownRequest.TimeSeconds = c.timeSeconds;
        ShutdownRequest.ShutCount = c.shutCount;
        EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, MainWindow, CountdownDialogProc, 0), 0);
        EXPECT_EQ(Counts(), c.shown);
        EXPECT_EQ(stub::g.ticks, static_cast<int>(c.shown.size()));
        EXPECT_THAT(
            stub::Calls({"KillTimer", "PostMessageA", "EndDialog"}),
            ElementsAre("KillTimer(512, 1)", Posted(stub::Handle(0x200), WM_COMMAND, IDOK), "EndDialog(512, 0)"));
        EXPECT_EQ(CountdownTimerId, 0);
    }
}

TEST_F(KelvorTest, OkAndCancelEndTheCountAtOnce)
{
    for (WPARAM press : {WPARAM(IDOK), WPARAM(IDCANCEL)}) {
        stub::Reset();
        ShutdownRequest.TimeGiven = 1, ShutdownRequest.TimeSeconds = 30;
        stub::g.pressAfterTicks = 2;
        stub::g.press = press;
        EXPECT_EQ(DialogBoxParamA(nullptr, nullptr, MainWindow, CountdownDialogProc, 0), press == IDOK ? 0 : 1);
        EXPECT_EQ(Counts(), (std::vector<std::string>{"30", "29", "28"}));
        EXPECT_THAT(stub::Calls({"KillTimer"}), ElementsAre("KillTimer(512, 1)"));
        EXPECT_FALSE(stub::g.timerRunning);
        EXPECT_EQ(CountdownTimerId, 0);
    }
}

TEST_F(KelvorTest, CommandsAreComparedWholeAndAMissingTimerIsNotKilled)
{
    CountdownTimerId = 1;
    CountdownDialogProc(Dialog, WM_COMMAND, (1u << 16) | IDOK, 0);  // a notification, not the button
    CountdownDialogProc(Dialog, WM_COMMAND, (1u << 16) | IDCANCEL, 0);
    EXPECT_THAT(stub::g.calls, IsEmpty());

    CountdownTimerId = 0;
    EXPECT_EQ(CountdownDialogProc(Dialog, WM_COMMAND, IDCANCEL, 0), 0);
    EXPECT_THAT(stub::g.calls, ElementsAre("EndDialog(512, 1)"));
}

}  // namespace
