// The Win32 dialog of the update tool: the port list, the Program button, the status line and
// the timer that steps the sequence.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

#include "cli/cli.h"
#include "console/console.h"
#include "engine/installer.h"
#include "engine/ui.h"
#include "ports/ports.h"
#include "run/program.h"
#include "run/window.h"
#include "shell/dialog.h"

enum {
    ID_STEP_TIMER = 6,
    STEP_HOLD_MS = 10000,
};

struct comport_t {
    int number;
    char name[11]; // "\\.\com998" and its terminator
};

comport_t comports[COM_MAX];

static char szAppName[] = "VEK";
static HINSTANCE h_instance;
static HWND hwnd;
static run_t run{&installer, false, 0, {}};

void uiStatus(const char *text)
{
    if (!CliStatus(text))
        SetDlgItemTextA(hwnd, ID_STATUS, text);
}

void uiMessageBox(const char *caption, const char *text)
{
    if (CliBox(caption, text))
        return;
    // The box runs a message loop of its own, which would go on dispatching the step timer.
    KillTimer(hwnd, ID_STEP_TIMER);
    fflush(stdout);
    MessageBoxA(hwnd, text, caption, MB_OK | MB_ICONWARNING);
}

void uiBeep(unsigned freq_hz, unsigned duration_ms)
{
    if (!CliBeep())
        Beep(freq_hz, duration_ms);
}

static void Program(HWND dialog)
{
    // The entry's own text names the port: the list sorts its entries, so its indices are
    // not those of the comports table.
    char port[sizeof comports[0].name] = "";
    const char *chosen = nullptr;
    LRESULT sel = SendDlgItemMessageA(dialog, ID_PORTS, CB_GETCURSEL, 0, 0);
    if (sel != CB_ERR) {
        LRESULT len = SendDlgItemMessageA(dialog, ID_PORTS, CB_GETLBTEXTLEN, sel, 0);
        if (len > 0 && len < static_cast<LRESULT>(sizeof port) &&
            SendDlgItemMessageA(dialog, ID_PORTS, CB_GETLBTEXT, sel,
                                reinterpret_cast<LPARAM>(port)) != CB_ERR)
            chosen = port;
    }
    if (RunStart(&run, chosen))
        SetTimer(dialog, ID_STEP_TIMER, WINDOWS_TIMER_PERIOD, nullptr);
    fflush(stdout);
}

static void Tick(HWND dialog)
{
    // Pushed out for the length of the step, so that it cannot fall due during a long read;
    // re-armed afterwards, so that the next step comes a full period after this one ended.
    SetTimer(dialog, ID_STEP_TIMER, STEP_HOLD_MS, nullptr);
    const run_end_t end = RunStep(&run);
    SetTimer(dialog, ID_STEP_TIMER, WINDOWS_TIMER_PERIOD, nullptr);
    fflush(stdout);
    if (end == RUN_COMPLETED) {
        KillTimer(dialog, ID_STEP_TIMER);
        RunCompleted(&installer);
    }
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == ID_PROGRAM) {
            Program(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if (LOWORD(wParam) == ID_STEP_TIMER) {
            Tick(window);
            return 0;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// The ports present and free at start-up; ProbePorts' lines on those it left out go to the
// console.
static void ListPorts()
{
    std::vector<std::string> left_out;
    std::vector<port_info> ports = ProbePorts("", &left_out);
    for (const std::string &line : left_out)
        conPrint("%s\n", line.c_str());
    for (size_t i = 0; i < ports.size() && i < COM_MAX; i++) {
        const char *name = ports[i].path.c_str();
        SendDlgItemMessageA(hwnd, ID_PORTS, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        comports[i].number =
            static_cast<int>(strtol(name + strcspn(name, "0123456789"), nullptr, 10));
        snprintf(comports[i].name, sizeof comports[i].name, "%s", name);
    }
}

// The image the program carries, and its length.
static const void *ImageResource(uint32_t *length)
{
    HRSRC res = FindResourceA(nullptr, "binfile", RT_RCDATA);
    HGLOBAL loaded = LoadResource(h_instance, res);
    const void *image = LockResource(loaded);
    *length = image ? SizeofResource(h_instance, res) : 0;
    return image;
}

static void LoadFirmwareImage()
{
    uint32_t length = 0;
    const void *image = ImageResource(&length);
    TakeImage(&installer, image, length);
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int iCmdShow)
{
    // The Microsoft runtime treats line buffering as full buffering; unbuffered, each log
    // line reaches the console, or a pipe, as it is printed.
    setvbuf(stdout, nullptr, _IONBF, 0);
    h_instance = hInstance;
    uint32_t length = 0;
    const void *image = ImageResource(&length);
    if (__argc > 1)
        return CommandLine(__argc, __argv, image, length);
    StartLog(image ? ImageCrc(image, length) : 0);
    // Each write to the console lengthens the step it is made in: the window's output goes out
    // a step at a time, flushed where a step, a press or start-up ends.
    setvbuf(stdout, nullptr, _IOFBF, 4096);

    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(hInstance, szAppName);
    // The caption's and the task bar's small icon from the icon's own small bitmap, not the
    // large one shrunk.
    wc.hIconSm = static_cast<HICON>(LoadImageA(hInstance, szAppName, IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = szAppName;
    h_instance = hInstance;
    if (!RegisterClassExA(&wc))
        Terminate("Unabled to register window class");

    hwnd = CreateDialogParamA(hInstance, szAppName, nullptr, nullptr, 0);
    if (hwnd == nullptr)
        Terminate("Could not create dialog");
    ShowWindow(hwnd, iCmdShow);

    ListPorts();
    SendDlgItemMessageA(hwnd, ID_PORTS, CB_SETCURSEL, 0, 0);
    status(" - Idle - ");
    PrepareRecord(&installer);
    LoadFirmwareImage();
    fflush(stdout);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (IsWindow(hwnd) && IsDialogMessageA(hwnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
