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
//   readstatus dpi                 the dialog's DPI awareness (unaware, system, per-monitor),
//                                  then the dpiAwareness and dpiAware settings the loader
//                                  reads from the program's manifest ("" for none)
//   readstatus controls            the comctl32.dll the dialog's process has loaded ("" for none)
// Exit code 2 when the window asked for is not there.
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>
#include <windows.h>

#include <psapi.h>

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

// The files of the modules loaded in the process that shows window w, its program's first.
std::vector<std::wstring> Modules(HWND w)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    HMODULE modules[256];
    DWORD size = 0;
    std::vector<std::wstring> files;
    if (process != nullptr && EnumProcessModules(process, modules, sizeof modules, &size)) {
        // size is what all of them would take, which may be more than there is room for.
        for (DWORD i = 0; i < size / sizeof modules[0] && i < std::size(modules); i++) {
            wchar_t file[MAX_PATH] = L"";
            GetModuleFileNameExW(process, modules[i], file, MAX_PATH);
            files.emplace_back(file);
        }
    }
    if (process != nullptr)
        CloseHandle(process);
    return files;
}

// The setting NAME of the schema of the year (2005, 2016) in the manifest of program, as the
// loader reads it when it starts the program.
std::wstring ManifestSetting(const std::wstring &program, int year, const wchar_t *name)
{
    ACTCTXW manifest{};
    manifest.cbSize = sizeof manifest;
    manifest.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    manifest.lpSource = program.c_str();
    manifest.lpResourceName = reinterpret_cast<LPCWSTR>(CREATEPROCESS_MANIFEST_RESOURCE_ID);
    HANDLE context = CreateActCtxW(&manifest);
    const std::wstring schema =
        L"http://schemas.microsoft.com/SMI/" + std::to_wstring(year) + L"/WindowsSettings";
    wchar_t value[256] = L"";
    if (context != INVALID_HANDLE_VALUE) {
        QueryActCtxSettingsW(0, context, schema.c_str(), name, value, 256, nullptr);
        ReleaseActCtx(context);
    }
    return value;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "--help" || cmd == "-h") {
        puts("usage: readstatus wait TEXT SECONDS | ports | point ID | arrow | entry INDEX |\n"
             "       close-box | box | dpi | controls\n"
             "Reads what vek-update.exe's dialog shows and tells where to click (see its "
             "source).");
        return 0;
    }
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
    if (cmd == "dpi") {
        static const char *const names[] = {"unaware", "system", "per-monitor"};
        DPI_AWARENESS awareness =
            GetAwarenessFromDpiAwarenessContext(GetWindowDpiAwarenessContext(dialog));
        std::vector<std::wstring> modules = Modules(dialog);
        if (modules.empty())
            return 2;
        printf("%s\n%ls\n%ls\n", awareness >= 0 && awareness < 3 ? names[awareness] : "invalid",
               ManifestSetting(modules[0], 2016, L"dpiAwareness").c_str(),
               ManifestSetting(modules[0], 2005, L"dpiAware").c_str());
        return 0;
    }
    if (cmd == "controls") {
        const std::wstring dll = L"\\comctl32.dll";
        for (const std::wstring &file : Modules(dialog)) {
            if (file.size() >= dll.size() &&
                _wcsicmp(file.c_str() + file.size() - dll.size(), dll.c_str()) == 0)
                printf("%ls", file.c_str());
        }
        printf("\n");
        return 0;
    }
    fprintf(stderr, "readstatus: unknown command %s\n", cmd.c_str());
    return 3;
}
