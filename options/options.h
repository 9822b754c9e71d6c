/* The shutdown request and the two places it comes from: the command line and the registry. */
#ifndef KELVOR_OPTIONS_H
#define KELVOR_OPTIONS_H

#include "platform/platform.h"

/* Every flag is a 32-bit truth value (non-zero is true). */
struct SHUTDOWN_REQUEST {
    int LogOff;
    int Reboot;
    int ShutDown; /* explicit shutdown; also shields the request from the registry's mode word */
    int PowerDown;
    int Force;
    int Quiet;
    int Show; /* dialog even when the registry asks for quiet */
    int Disable;
    int TimeGiven; /* TimeSeconds is valid */
    int TimeSeconds;
    char ModeText[50];
    DWORD ForceMode; /* registry values, as read */
    DWORD QuietMode;
    int ShutCount;
};
static_assert(sizeof(int) == 4 && sizeof(DWORD) == 4, "flags and registry numbers are 32-bit");

extern SHUTDOWN_REQUEST ShutdownRequest;

/* Fills the request from the command-line tail. Never fails. */
void ParseCommandLine(const char *commandLineTail);

/* Reads the preset values; 1 when the mode text and the countdown length were both read, else 0. */
int ReadRegistrySettings();

/* Folds what ReadRegistrySettings read into the request; the command line's explicit words win. */
void MergeRegistrySettings();

#endif
