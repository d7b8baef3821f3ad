// Test aid run under the same Wine prefix as vek-update.exe: reads what the dialog shows from
// its real controls, and tells where to click.
//   readstatus wait TEXT SECONDS        waits until the status line reads TEXT; 1 on timeout
//   readstatus ports                    the port list's entries, one a line
//   readstatus selected                 the entry shown as selected ("" for none)
//   readstatus point ID                 screen point at the middle of control ID
//   readstatus arrow                    screen point on the port list's drop-down arrow
//   readstatus entry INDEX              screen point on entry INDEX of the dropped-down list
//   readstatus close-box                screen point on the caption's close button
//   readstatus box                      caption and texts of the fatal message box
//   readstatus box-ok                   screen point on the message box's button
// Exit code 2 when the window asked for is not there.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <windows.h>

namespace
{

constexpr int ID_PORTS = 3;
constexpr int ID_STATUS = 5;

std::string Text(HWND w)
{
    char text[1100] = "";
    GetWindowTextA(w, text, sizeof text);
    return text;
}

std::string Status(HWND dialog)
{
    char text[200] = "";
    GetDlgItemTextA(dialog, ID_STATUS, text, sizeof text);
    return text;
}

int PrintPoint(int x, int y)
{
    printf("%d %d\n", x, y);
    return 0;
}

int PrintMiddle(HWND w)
{
    RECT r;
    if (w == nullptr || !GetWindowRect(w, &r))
        return 2;
    return PrintPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "box" || cmd == "box-ok") {
        HWND box = FindWindowA(nullptr, "Terminate Program");
        if (box == nullptr)
            return 2;
        if (cmd == "box-ok")
            return PrintMiddle(FindWindowExA(box, nullptr, "Button", nullptr));
        printf("%s\n", Text(box).c_str());
        for (HWND s = FindWindowExA(box, nullptr, "Static", nullptr); s != nullptr;
             s = FindWindowExA(box, s, "Static", nullptr))
            printf("%s\n", Text(s).c_str());
        return 0;
    }

    HWND dialog = FindWindowA("VEK", nullptr);
    if (dialog == nullptr)
        return 2;
    HWND ports = GetDlgItem(dialog, ID_PORTS);
    if (cmd == "wait" && argc > 3) {
        DWORD limit_ms = static_cast<DWORD>(atoi(argv[3])) * 1000;
        DWORD start = GetTickCount();
        std::string text = Status(dialog);
        while (text != argv[2] && GetTickCount() - start < limit_ms && IsWindow(dialog)) {
            Sleep(100);
            text = Status(dialog);
        }
        printf("%s\n", text.c_str());
        return text == argv[2] ? 0 : 1;
    }
    if (cmd == "ports" || cmd == "selected") {
        LRESULT count = SendMessageA(ports, CB_GETCOUNT, 0, 0);
        LRESULT sel = SendMessageA(ports, CB_GETCURSEL, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            // Wine hands the ANSI form of this message between processes cut to one
            // character; the wide form arrives whole.
            wchar_t wide[64] = L"";
            char text[64] = "";
            if (SendMessageW(ports, CB_GETLBTEXTLEN, i, 0) >= 64)
                continue;
            SendMessageW(ports, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide));
            WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
            if (cmd == "ports" || i == sel)
                printf("%s\n", text);
        }
        return 0;
    }
    if (cmd == "point" && argc > 2)
        return PrintMiddle(GetDlgItem(dialog, atoi(argv[2])));
    if (cmd == "arrow") {
        RECT r;
        GetWindowRect(ports, &r);
        int height = static_cast<int>(SendMessageA(ports, CB_GETITEMHEIGHT, -1, 0));
        return PrintPoint(r.right - GetSystemMetrics(SM_CXVSCROLL) / 2 - 2, r.top + height / 2 + 3);
    }
    if (cmd == "close-box") {
        RECT r;
        GetWindowRect(dialog, &r);
        int frame = GetSystemMetrics(SM_CXDLGFRAME);
        return PrintPoint(r.right - frame - GetSystemMetrics(SM_CXSIZE) / 2 - 2,
                          r.top + frame + GetSystemMetrics(SM_CYCAPTION) / 2);
    }
    if (cmd == "entry" && argc > 2) {
        // The dropped-down list is a top-level window of its own.
        HWND list = FindWindowA("ComboLBox", nullptr);
        if (list == nullptr || !IsWindowVisible(list))
            return 2;
        RECT item{};
        if (SendMessageA(list, LB_GETITEMRECT, atoi(argv[2]), reinterpret_cast<LPARAM>(&item)) ==
            LB_ERR)
            return 2;
        POINT p{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
        ClientToScreen(list, &p);
        return PrintPoint(p.x, p.y);
    }
    fprintf(stderr, "readstatus: unknown command %s\n", cmd.c_str());
    return 3;
}
