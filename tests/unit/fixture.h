// Common set-up for the unit tests: a fresh stand-in, a zeroed request and the loaded identity.
#ifndef KELVOR_TEST_FIXTURE_H
#define KELVOR_TEST_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "app/app.h"
#include "dialog/countdown.h"
#include "options/options.h"
#include "stubstate.h"

class KelvorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stub::Reset();
        ShutdownRequest = SHUTDOWN_REQUEST{};
        CountdownSeconds = 0;
        CountdownTimerId = 0;
        std::strcpy(ClassName, "KelvorNT");
        std::strcpy(Caption, "Orvane");
        MainWindow = stub::Handle(0x100);
    }
};

using stub::Posted;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// The worker's closing command, as it posts it to the main window.
inline std::string CloseCommand() { return Posted(stub::Handle(0x100), WM_SYSCOMMAND, SC_CLOSE); }

#endif
