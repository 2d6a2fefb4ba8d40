// The waiting window shown while a large package is extracted: a borderless modeless dialog
// with a bitmap above two centred lines on white, under the wait cursor. It shows no figure
// and receives messages only when the run sequence pumps.
#pragma once

#include <windows.h>

// Creates the dialog from its template, shows it and dispatches what waits. Null when the
// dialog cannot be created; the run then goes on without a window.
HWND openProgressWindow(HINSTANCE instance);
// Handles every message waiting in the thread's queue; never waits.
void pumpProgressWindow(HWND window);
// Hides and ends the dialog, handling messages while it still exists and any are waiting.
void dismissProgressWindow(HWND window);
// Deletes the brushes that the dialog procedure painted with.
void releaseProgressBrushes();
