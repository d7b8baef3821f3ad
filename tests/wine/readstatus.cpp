// Test aid run in the same Wine prefix as vek-update.exe: reads what the dialog shows from its
// real controls, and tells where to click (a screen point "X Y").
//   readstatus wait TEXT SECONDS   waits until the status line reads TEXT; prints what it read,
//                                  exit code 1 when that is not TEXT
//   readstatus ports               the selected entry ("" for none), then every entry
//   readstatus point ID            the middle of control ID
//   readstatus arrow               the port list's drop-down arrow
//   readstatus entry INDEX         entry INDEX of the dropped-down list
//   readstatus close-box           the caption's close button
//   readstatus box                 the fatal message box's button, then its texts
// Exit code 2 when the window asked for is not there.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <windows.h>

#include "shell/dialog.h"

namespace
{

std::string Text(HWND w)
{
    // Asked of the window itself: for a window of another process GetWindowText gives only
    // the text it was created with.
    char text[1100] = "";
    SendMessageA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

void PrintEntry(HWND list, LRESULT i)
{
    // Wine hands the ANSI form of this message between processes cut to one character; the
    // wide form arrives whole.
    wchar_t text[64] = L"";
    if (i >= 0 && SendMessageW(list, CB_GETLBTEXTLEN, i, 0) < 64)
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    printf("%ls\n", text);
}

int Point(LONG x, LONG y)
{
    printf("%ld %ld\n", x, y);
    return 0;
}

int Middle(HWND w)
{
    RECT r;
    if (w == nullptr || !GetWindowRect(w, &r))
        return 2;
    return Point((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    const char *arg = argc > 2 ? argv[2] : "";
    HWND dialog = FindWindowA("VEK", nullptr);
    HWND ports = GetDlgItem(dialog, ID_PORTS);
    RECT r{};
    GetWindowRect(cmd == "close-box" ? dialog : ports, &r);
    if (cmd == "wait" && argc > 3) {
        // The dialog may not be there yet: the program is still starting.
        const DWORD start = GetTickCount(), limit_ms = static_cast<DWORD>(atoi(argv[3])) * 1000;
        std::string text;
        while ((text = Text(GetDlgItem(FindWindowA("VEK", nullptr), ID_STATUS))) != arg &&
               GetTickCount() - start < limit_ms)
            Sleep(100);
        printf("%s\n", text.c_str());
        return text == arg ? 0 : 1;
    }
    if (cmd == "box") {
        HWND box = FindWindowA(nullptr, "Terminate Program");
        if (Middle(FindWindowExA(box, nullptr, "Button", nullptr)) != 0)
            return 2;
        for (HWND s = FindWindowExA(box, nullptr, "Static", nullptr); s != nullptr;
             s = FindWindowExA(box, s, "Static", nullptr))
            printf("%s\n", Text(s).c_str());
        return 0;
    }
    if (dialog == nullptr)
        return 2;
    if (cmd == "ports") {
        PrintEntry(ports, SendMessageA(ports, CB_GETCURSEL, 0, 0));
        for (LRESULT i = 0; i < SendMessageA(ports, CB_GETCOUNT, 0, 0); i++)
            PrintEntry(ports, i);
        return 0;
    }
    if (cmd == "point")
        return Middle(GetDlgItem(dialog, atoi(arg)));
    if (cmd == "arrow") {
        int height = static_cast<int>(SendMessageA(ports, CB_GETITEMHEIGHT, -1, 0));
        return Point(r.right - GetSystemMetrics(SM_CXVSCROLL) / 2 - 2, r.top + height / 2 + 3);
    }
    if (cmd == "close-box") {
        int frame = GetSystemMetrics(SM_CXDLGFRAME);
        return Point(r.right - frame - GetSystemMetrics(SM_CXSIZE) / 2 - 2,
                     r.top + frame + GetSystemMetrics(SM_CYCAPTION) / 2);
    }
    if (cmd == "entry") {
        // The dropped-down list is a top-level window of its own.
        HWND list = FindWindowA("ComboLBox", nullptr);
        RECT item{};
        if (list == nullptr || !IsWindowVisible(list) ||
            SendMessageA(list, LB_GETITEMRECT, atoi(arg), reinterpret_cast<LPARAM>(&item)) ==
                LB_ERR)
            return 2;
        POINT p{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
        ClientToScreen(list, &p);
        return Point(p.x, p.y);
    }
    fprintf(stderr, "readstatus: unknown command %s\n", cmd.c_str());
    return 3;
}
