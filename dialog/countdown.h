/* The countdown dialog shown before a non-quiet exit: placement, ticking, OK and Cancel. */
#ifndef KELVOR_COUNTDOWN_H
#define KELVOR_COUNTDOWN_H

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

extern int CountdownSeconds;
/* Written by the dialog on the worker thread and cleared by the main window on the main thread. */
extern std::atomic<std::uint16_t> CountdownTimerId;

/* Modal result: 1 cancelled, 0 go ahead. Returns 0 for every message. */
INT_PTR CALLBACK CountdownDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/* Centres the dialog horizontally, a third of the free height down, topmost; titles it Caption. */
void PlaceDialog(HWND dialog);

#endif
