// The waiting window in the engine's own process: made from its template, painted white under
// the wait cursor, with its picture and two lines, and hidden again when dismissed.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "launcher/progress_window.h"

namespace {

std::string textOf(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

TEST(ProgressWindow, OpensFromTemplateWithPictureLinesAndWaitCursor) {
    HWND window = openProgressWindow(GetModuleHandleA(NULL));
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrA(window, GCLP_HCURSOR)), LoadCursorA(NULL, IDC_WAIT));
    EXPECT_EQ(GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, WS_EX_TOOLWINDOW);

    std::vector<std::string> lines;
    HBITMAP picture = NULL;
    for (HWND child = GetWindow(window, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_BITMAP) {
            picture = reinterpret_cast<HBITMAP>(SendMessageA(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
        } else {
            lines.push_back(textOf(child));
        }
    }
    ASSERT_NE(picture, nullptr);
    BITMAP info;
    ASSERT_EQ(GetObjectA(picture, sizeof(info), &info), static_cast<int>(sizeof(info)));
    EXPECT_EQ(info.bmWidth, 130);
    EXPECT_EQ(info.bmHeight, 47);
    ASSERT_EQ(lines.size(), 2u);
    // The loader picks the language; either pair is right, never a mixture.
    bool english = lines[0] == "Application is being initialized" && lines[1] == "Please wait..";
    bool czech = lines[0] == "Prob\xEDh\xE1 inicializace programu" && lines[1] == "\xC8" "ekejte pros\xEDm..";
    EXPECT_TRUE(english || czech) << lines[0] << " / " << lines[1];

    // Static controls are drawn with the hollow brush, the background with white.
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 8, 8);
    HGDIOBJ old = SelectObject(memory, canvas);
    RECT all = {0, 0, 8, 8};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    EXPECT_EQ(SendMessageA(window, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(memory), 0),
              reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)));
    SendMessageA(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(memory), 0);
    EXPECT_EQ(GetPixel(memory, 1, 1), RGB(255, 255, 255));
    SelectObject(memory, old);
    DeleteObject(canvas);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);

    pumpProgressWindow(window);
    dismissProgressWindow(window);
    EXPECT_FALSE(IsWindow(window) && IsWindowVisible(window));
    releaseProgressBrushes();
}

}  // namespace
