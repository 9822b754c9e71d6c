// Registry presets against the stand-in registry: what is read, and how it merges with the
// command line. Each case runs the worker and reports what the module then did.
#include "fixture.h"

#include "res/resource.h"

#include <cstdint>
#include <optional>

namespace {

enum : DWORD { REG_SZ = 1, REG_BINARY = 3, REG_DWORD = 4, REG_QWORD = 11 };

using stub::Number;
using stub::Sz;

struct Values {
    std::optional<stub::RegistryValue> mode, force, quiet, count;
};

stub::RegistryValue Text(const std::string &bytes, DWORD type = REG_SZ) { return {bytes, type}; }
stub::RegistryValue Dword(std::int64_t value, size_t bytes = 4, DWORD type = REG_DWORD)
{
    return {Number(value, bytes), type};
}

void SetRegistry(const Values &v)
{
    std::map<std::string, stub::RegistryValue> values;
    const std::pair<const char *, const std::optional<stub::RegistryValue> &> named[] = {
        {"ShutDown.VLX", v.mode}, {"ForceMode", v.force}, {"QuietMode", v.quiet}, {"ShutCount", v.count}};
    for (const auto &[name, value] : named)
        if (value)
            values[name] = *value;
    stub::Preset(values);
}

// What the module does: "dialog N" for the count it first showed, then "exit F" or "none".
std::string Outcome(const char *commandLine)
{
    ParseCommandLine(commandLine);
    stub::g.platformId = VER_PLATFORM_WIN32_WINDOWS;
    ShutdownWorker(nullptr);
    std::string out;
    for (const std::string &call : stub::Calls({"SetDlgItemInt"})) {
        out = "dialog " + call.substr(call.find('"') + 1, call.rfind('"') - call.find('"') - 1) + " ";
        break;
    }
    std::vector<std::string> exits = stub::Calls({"ExitWindowsEx"});
    if (exits.empty())
        return out + "none";
    return out + "exit " + exits[0].substr(14, exits[0].find(',') - 14);
}

struct MergeCase {
    const char *commandLine;
    Values registry;
    const char *outcome;
};

const std::string FiftyUnterminated = "Reboot" + std::string(44, 'x');
const std::string FiftyTerminated = "Reboot" + std::string(44, '\0');

TEST_F(KelvorTest, RegistryPresetsMergeUnderTheCommandLine)
{
    const MergeCase cases[] = {
        {"", {}, "dialog 0 exit 1"},
        {"", {Text(Sz("Reboot")), {}, {}, Dword(0)}, "dialog 0 exit 2"},
        {"", {Text(Sz("LogOff")), {}, {}, Dword(0)}, "dialog 0 exit 0"},
        {"", {Text(Sz("logoff")), {}, {}, Dword(0)}, "dialog 0 exit 1"},  // case counts
        {"", {Text(Sz("PowerDown")), {}, {}, Dword(0)}, "dialog 0 exit 1"},
        {"", {Text(Sz("ShutDown")), {}, {}, Dword(0)}, "dialog 0 exit 1"},
        {"", {Text(Sz("Disable")), {}, {}, Dword(9)}, "none"},
        {"/PowerDown", {Text(Sz("Disable")), {}, {}, Dword(0)}, "none"},
        {"/ShutDown", {Text(Sz("Disable")), {}, {}, Dword(0)}, "dialog 0 exit 1"},
        {"/Reboot", {Text(Sz("Disable")), {}, {}, Dword(0)}, "dialog 0 exit 2"},
        {"/LogOff", {Text(Sz("Reboot")), {}, {}, Dword(0)}, "dialog 0 exit 0"},
        {"/PowerDown", {Text(Sz("LogOff")), {}, {}, Dword(0)}, "dialog 0 exit 0"},  // both set: log-off
        {"/PowerDown", {Text(Sz("Reboot")), {}, {}, Dword(0)}, "dialog 0 exit 2"},
        {"", {Text(Sz("")), {}, Dword(1), Dword(0)}, "exit 1"},
        {"/Show", {Text(Sz("")), {}, Dword(1), Dword(0)}, "dialog 0 exit 1"},
        {"", {Text(Sz("")), {}, Dword(0xFFFFFFFF), Dword(0)}, "exit 1"},
        {"", {Text(Sz("")), Dword(1), {}, Dword(0)}, "dialog 0 exit 5"},
        {"/Force", {Text(Sz("")), Dword(0), {}, Dword(0)}, "dialog 0 exit 5"},
        {"", {Text(Sz("")), {}, {}, Dword(2)}, "dialog 2 exit 1"},
        {"/Time: 5", {Text(Sz("")), {}, {}, Dword(2)}, "dialog 5 exit 1"},
        {"", {Text(Sz("")), {}, {}, Dword(-3)}, "dialog -3 exit 1"},
        // Mode and force present, no ShutCount: nothing is applied.
        {"", {Text(Sz("Reboot")), Dword(1), {}, {}}, "dialog 0 exit 1"},
        // No mode value: the numbers are not even read.
        {"", {{}, Dword(1), Dword(1), Dword(4)}, "dialog 0 exit 1"},
        // Sizes, not types: larger than the buffer is a failed read, anything that fits is read.
        {"", {Text(Sz(std::string(50, 'R'))), {}, {}, Dword(4)}, "dialog 0 exit 1"},
        {"", {Text(FiftyUnterminated), Dword(1), {}, Dword(7)}, "dialog 7 exit 5"},
        {"", {Text(FiftyTerminated), {}, {}, Dword(0)}, "dialog 0 exit 2"},
        {"", {Text(Sz("Reboot"), REG_BINARY), {}, {}, Dword(0)}, "dialog 0 exit 2"},
        {"", {Text(""), {}, {}, Dword(0)}, "dialog 0 exit 1"},
        {"", {Text(Sz("Reboot")), {}, {}, Dword(4, 8, REG_QWORD)}, "dialog 0 exit 1"},
        {"", {Text(Sz("")), {}, {}, Dword(0x000105, 3, REG_BINARY)}, "dialog 261 exit 1"},
        {"", {Text(Sz("")), Text(Sz("1")), {}, Dword(0)}, "dialog 0 exit 5"},  // "1" is non-zero
        {"", {Text(Sz("")), Dword(1, 5), Dword(1, 5), Dword(0)}, "dialog 0 exit 1"},
        {"", {Text(Sz("")), Dword(0, 0), {}, Dword(0, 0)}, "dialog 0 exit 1"},
    };
    for (const MergeCase &c : cases) {
        stub::Reset();
        ShutdownRequest = SHUTDOWN_REQUEST{};
        if (c.registry.mode || c.registry.force || c.registry.quiet || c.registry.count)
            SetRegistry(c.registry);
        EXPECT_EQ(Outcome(c.commandLine), c.outcome)
            << "command line [" << c.commandLine << "], mode ["
            << (c.registry.mode ? c.registry.mode->bytes.substr(0, 20) : "-") << "]";
    }
}

TEST_F(KelvorTest, RegistryIsOpenedForReadingAndValuesAreReadInOrder)
{
    SetRegistry({Text(Sz("Reboot")), Dword(1), Dword(1), Dword(3)});
    EXPECT_EQ(ReadRegistrySettings(), 1);
    EXPECT_THAT(stub::Calls({"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"}),
                ElementsAre("RegOpenKeyExA(2147483650, \"" + stub::ResourceString(IDS_REGISTRY_KEY) + "\", 0, 131097)",
                            "RegQueryValueExA(1024, \"ShutDown.VLX\", 0, 0, 50)",
                            "RegQueryValueExA(1024, \"ForceMode\", 0, 0, 4)",
                            "RegQueryValueExA(1024, \"QuietMode\", 0, 0, 4)",
                            "RegQueryValueExA(1024, \"ShutCount\", 0, 0, 4)", "RegCloseKey(1024)"));
    EXPECT_STREQ(ShutdownRequest.ModeText, "Reboot");
    EXPECT_EQ(ShutdownRequest.ShutCount, 3);
}

TEST_F(KelvorTest, AFailedReadLeavesNoBytesBehind)
{
    SetRegistry({Text(Sz("LogOff")), Dword(1, 8), Dword(1, 8), Dword(1, 8)});
    EXPECT_EQ(ReadRegistrySettings(), 0);
    EXPECT_EQ(ShutdownRequest.ForceMode, 0u);
    EXPECT_EQ(ShutdownRequest.QuietMode, 0u);
    EXPECT_EQ(ShutdownRequest.ShutCount, 0);

    stub::Reset();
    ShutdownRequest = SHUTDOWN_REQUEST{};
    SetRegistry({Text(Sz(std::string(60, 'x'))), {}, {}, Dword(1)});
    EXPECT_EQ(ReadRegistrySettings(), 0);
    EXPECT_STREQ(ShutdownRequest.ModeText, "");
    EXPECT_THAT(stub::Calls({"RegCloseKey"}), ::testing::SizeIs(1));
}

}  // namespace
