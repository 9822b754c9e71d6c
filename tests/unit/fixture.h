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

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

#endif
