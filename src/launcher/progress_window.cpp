#include "launcher/progress_window.h"

#include "resources/resource_ids.h"

// Read by the dialog procedure: white for the background, hollow for the static controls so
// that their text stands on the white.
static HBRUSH backgroundBrush = NULL;
static HBRUSH controlBrush = NULL;

static INT_PTR CALLBACK progressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        HCURSOR wait = LoadCursorA(NULL, IDC_WAIT);
#ifdef _WIN64
        SetClassLongPtrA(dialog, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(wait));
#else
        SetClassLongA(dialog, GCL_HCURSOR, reinterpret_cast<LONG>(wait));
#endif
        return TRUE;
    }
    case WM_ERASEBKGND: {
        RECT client;
        GetClientRect(dialog, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, backgroundBrush);
        return TRUE;
    }
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(controlBrush);
    }
    return FALSE;
}

static void handleWaitingMessage(HWND window, MSG* message) {
    if (!IsDialogMessageA(window, message)) {
        TranslateMessage(message);
        DispatchMessageA(message);
    }
}

HWND openProgressWindow(HINSTANCE instance) {
    backgroundBrush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    controlBrush = static_cast<HBRUSH>(GetStockObject(NULL_BRUSH));
    HWND window = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), NULL,
                                     progressDialogProc, 0);
    if (window != NULL) {
        ShowWindow(window, SW_SHOW);
        pumpProgressWindow(window);
    }
    return window;
}

void pumpProgressWindow(HWND window) {
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) handleWaitingMessage(window, &message);
}

void dismissProgressWindow(HWND window) {
    ShowWindow(window, SW_HIDE);
    pumpProgressWindow(window);
    EndDialog(window, 1);
    MSG message;
    while (IsWindow(window) && PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        handleWaitingMessage(window, &message);
    }
}

void releaseProgressBrushes() {
    if (backgroundBrush != NULL) DeleteObject(backgroundBrush);
    if (controlBrush != NULL) DeleteObject(controlBrush);
}
