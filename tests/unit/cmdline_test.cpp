// Command-line options, table-driven, plus the invariants over arbitrary input.
#include "fixture.h"

#include <random>

namespace {

// The request as a short text: the flags that are set, and the countdown when given.
std::string Describe(const SHUTDOWN_REQUEST &r)
{
    std::string s;
    auto add = [&s](int flag, const char *name) {
        if (flag)
            s += std::string(s.empty() ? "" : " ") + name + (flag == 1 ? "" : "=?");
    };
    add(r.LogOff, "LogOff"), add(r.Reboot, "Reboot"), add(r.ShutDown, "ShutDown"), add(r.PowerDown, "PowerDown");
    add(r.Force, "Force"), add(r.Quiet, "Quiet"), add(r.Show, "Show");
    if (r.TimeGiven)
        s += (s.empty() ? "Time=" : " Time=") + std::to_string(r.TimeSeconds);
    return s;
}

std::string Parsed(const std::string &line)
{
    ShutdownRequest = SHUTDOWN_REQUEST{};
    ParseCommandLine(line.c_str());
    return Describe(ShutdownRequest);
}

struct ParseCase {
    std::string line;
    std::string request;
};

TEST_F(KelvorTest, OptionsSetTheRequest)
{
    const std::string many = [] {
        std::string s;
        for (int i = 0; i < 500; ++i)
            s += "/LogOff -Reboot /Quiet /Show ";
        return s + "/PowerDown";
    }();
    const ParseCase cases[] = {
        {"/Reboot /Force /Time: 60", "Reboot Force Time=60"},
        {"-logoff -REBOOT", "Reboot"},
        {"/Reboot /LogOff", "LogOff"},
        {"/PowerDown /ShutDown", "ShutDown"},
        {"/ShutDown /PowerDown", "PowerDown"},
        {"/LogOff /LogOff", "LogOff"},
        {"/Quiet /Show", "Show"},
        {"/Show /Quiet", "Quiet"},
        {"/Force /Force", "Force"},
        {"/Time:30", ""},
        {"/Time: -5", "Time=0"},
        {"/Time:", "Time=0"},
        {"/Time: 30/Force", "Force Time=30"},
        {"/Time: 30s /Force", "Time=30"},
        {"/Time: 10 /Time: 20", "Time=20"},
        {"/Time:\t\r\n\v\f 7", "Time=7"},
        {"now /Reboot", ""},
        {"", ""},
        {"   \t ", ""},
        {"/", ""},
        {"/Reboot now /Force", "Reboot"},
        {"\t\v\f\r\n/Reboot", "Reboot"},
        {"/Reboot\xA0/Force", ""},  // 0xA0 is no blank in the default locale
        {"\x85/Reboot", ""},
        {"/Time: \xB2", "Time=0"},  // nor a digit
        {"/Time: 4294967295", "Time=-1"},
        {"/Time: 4294967296", "Time=0"},
        {"/Time: 2147483648", "Time=-2147483648"},
        {"/Time: 0000000000000000000042", "Time=42"},
        {many, "PowerDown Show"},
    };
    for (const ParseCase &c : cases)
        EXPECT_EQ(Parsed(c.line), c.request) << "line: [" << c.line.substr(0, 80) << "]";
}

TEST_F(KelvorTest, OverlongWordsAndDigitRunsAreCutNotOverrun)
{
    const std::string huge(10000, 'A');
    EXPECT_EQ(Parsed("/" + huge + " /Reboot"), "Reboot");
    EXPECT_EQ(Parsed("/Reboot" + huge + " /Force"), "Force");
    // Only the first 255 digits count; parsing resumes after the whole run.
    const std::string digits = std::string(254, '0') + "7" + std::string(9745, '9');
    EXPECT_EQ(Parsed("/Time: " + digits + " /Force"), "Force Time=7");
    EXPECT_EQ(Parsed("/Time: " + digits + "/Show"), "Show Time=7");
}

TEST_F(KelvorTest, KeywordsAreLoadedFromTheStringTableBeforeEachComparison)
{
    ParseCommandLine("/Force");
    EXPECT_THAT(stub::Calls({"LoadStringA"}),
                ElementsAre("LoadStringA(47, 1024)", "LoadStringA(54, 1024)", "LoadStringA(46, 1024)",
                            "LoadStringA(61, 1024)", "LoadStringA(57, 1024)", "LoadStringA(58, 1024)",
                            "LoadStringA(60, 1024)", "LoadStringA(59, 1024)"));
}

TEST_F(KelvorTest, AnyLineLeavesAtMostOneActionAndNeverQuietWithShow)
{
    const char *const tokens[] = {"/LogOff", "-reboot",  "/SHUTDOWN", "-PowerDown", "/Force", "/quiet",
                                  "-Show",   "/Time:",   "42",        "-",          "x",      " ",
                                  "\t",      "/Time: 9", "\xFF",      "/Show/Quiet"};
    std::mt19937 random(20261208);
    for (int line = 0; line < 2000; ++line) {
        std::string text;
        for (int n = static_cast<int>(random() % 12); n > 0; --n)
            text += std::string(tokens[random() % std::size(tokens)]) + (random() % 3 ? " " : "");
        ShutdownRequest = SHUTDOWN_REQUEST{};
        ParseCommandLine(text.c_str());
        const SHUTDOWN_REQUEST &r = ShutdownRequest;
        EXPECT_LE(r.LogOff + r.Reboot + r.ShutDown + r.PowerDown, 1) << text;
        EXPECT_FALSE(r.Quiet && r.Show) << text;
    }
}

}  // namespace
