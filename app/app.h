/* Kelvor's application shell: start-up, the hidden main window, the worker and the system exit. */
#ifndef KELVOR_APP_H
#define KELVOR_APP_H

#include "platform/platform.h"

constexpr int ClassNameSize = 20;
constexpr int CaptionSize = 80;
constexpr int TextBufferSize = 1024;
/* How long a hand-over waits for earlier windows to go, and for its turn (main.cpp says why). */
constexpr DWORD HandOverBoundMs = 5000;
constexpr DWORD TurnBoundMs = 2 * HandOverBoundMs;

extern HINSTANCE AppInstance;
extern char ClassName[ClassNameSize];
extern char Caption[CaptionSize];
extern HWND MainWindow;
extern char TextBuffer[TextBufferSize]; /* scratch: keywords, mode words, dialog texts, messages */
extern char ErrorText[TextBufferSize];

/* Finds the command-line tail in the process's whole command line. */
const char *CommandLineTail(const char *commandLine);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLineTail, int showCommand);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
int IsWin32s();
int PlatformIs(DWORD platformId);  // as GetVersionExA reports it; 0 when it cannot tell

void __cdecl ShutdownWorker(void *);
int PerformSystemExit();
int IsWindowsNT();
void ReportSystemError(UINT stringId);

#endif
