// The GTK 4 window of the update tool: the port list, the Program button and the status line,
// laid out as the dialog template places them, and the timer that steps the sequence.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <gtk/gtk.h>
#include <string>
#include <vector>

#include "engine/installer.h"
#include "engine/ui.h"
#include "shell/image.h"
#include "shell/ports.h"
#include "shell/program.h"

static const char APP_TITLE[] = "Korlund / Dravel Software Update Tool";

// Pixels per dialog unit, both ways. Fixed positions and sizes: the window looks the same, and
// its controls are in the same places, whatever the theme and the port names.
static constexpr int DLU = 2;

struct shell_t {
    GtkWidget *window;
    GtkDropDown *ports;
    GtkWidget *program;
    GtkWidget *status;
    GMainLoop *loop;
    guint step_timer; // the pending one-shot step, 0 when none
    FILE *trace;
};

static shell_t shell;

static void StopSteps()
{
    if (shell.step_timer != 0) {
        g_source_remove(shell.step_timer);
        shell.step_timer = 0;
    }
}

static gboolean OnStep(gpointer)
{
    shell.step_timer = 0;
    // Armed only once the step has returned: steps never overlap, and the next one falls due
    // a full period after this one ended, however long its serial read took.
    if (TimerTick(&installer))
        shell.step_timer = g_timeout_add(WINDOWS_TIMER_PERIOD, OnStep, nullptr);
    else
        RunCompleted(&installer);
    return G_SOURCE_REMOVE;
}

static void OnProgram(GtkButton *, gpointer)
{
    // The entry's own text names the port: no table beside the list to get out of step.
    const char *port = nullptr;
    if (auto *item = static_cast<GtkStringObject *>(gtk_drop_down_get_selected_item(shell.ports)))
        port = gtk_string_object_get_string(item);
    if (!ProgramPressed(&installer, port))
        return;
    StopSteps();
    shell.step_timer = g_timeout_add(WINDOWS_TIMER_PERIOD, OnStep, nullptr);
}

// Test aid: with VEK_STATUS_TRACE naming a file, every change of the status line is appended
// to it as one line, read back from the widget itself, so that the end-to-end tests see what
// the operator sees rather than what the program meant to show.
static void OnStatusChanged(GObject *entry, GParamSpec *, gpointer)
{
    fprintf(shell.trace, "%s\n", gtk_editable_get_text(GTK_EDITABLE(entry)));
    fflush(shell.trace);
}

static void OnDestroy(GtkWidget *, gpointer)
{
    shell.window = nullptr;
    g_main_loop_quit(shell.loop);
}

static void OnSetupLabel(GtkSignalListItemFactory *, GtkListItem *item, gpointer ellipsize)
{
    GtkWidget *label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_ellipsize(GTK_LABEL(label),
                            static_cast<PangoEllipsizeMode>(GPOINTER_TO_INT(ellipsize)));
    // An ellipsized label still asks for its whole text, which would widen the window.
    if (GPOINTER_TO_INT(ellipsize) != PANGO_ELLIPSIZE_NONE)
        gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    gtk_list_item_set_child(item, label);
}

static void OnBindLabel(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    auto *entry = static_cast<GtkStringObject *>(gtk_list_item_get_item(item));
    gtk_label_set_text(GTK_LABEL(gtk_list_item_get_child(item)),
                       gtk_string_object_get_string(entry));
}

static GtkListItemFactory *LabelFactory(PangoEllipsizeMode ellipsize)
{
    GtkListItemFactory *factory = gtk_signal_list_item_factory_new();
    g_signal_connect(factory, "setup", G_CALLBACK(OnSetupLabel), GINT_TO_POINTER(ellipsize));
    g_signal_connect(factory, "bind", G_CALLBACK(OnBindLabel), nullptr);
    return factory;
}

static void Place(GtkFixed *fixed, GtkWidget *child, int x, int y, int width, int height)
{
    gtk_widget_set_size_request(child, width * DLU, height > 0 ? height * DLU : -1);
    gtk_fixed_put(fixed, child, x * DLU, y * DLU);
}

// Laid out as the Win32 dialog, in its units: 180 x 100, port list at (8, 14), Program at
// (72, 14), status line at (8, 56). Tab order follows the order of creation.
static void CreateWindow()
{
    shell.window = gtk_window_new();
    GtkWindow *window = GTK_WINDOW(shell.window);
    gtk_window_set_title(window, APP_TITLE);
    gtk_window_set_resizable(window, FALSE);
    g_signal_connect(shell.window, "destroy", G_CALLBACK(OnDestroy), nullptr);

    GtkWidget *fixed = gtk_fixed_new();
    gtk_widget_set_size_request(fixed, 180 * DLU, 100 * DLU);
    gtk_window_set_child(window, fixed);

    // Long device paths lose their start in the closed list, where the name that tells them
    // apart is at the end; the open list shows them whole.
    shell.ports = GTK_DROP_DOWN(gtk_drop_down_new(nullptr, nullptr));
    GtkListItemFactory *closed = LabelFactory(PANGO_ELLIPSIZE_START);
    GtkListItemFactory *open = LabelFactory(PANGO_ELLIPSIZE_NONE);
    gtk_drop_down_set_factory(shell.ports, closed);
    gtk_drop_down_set_list_factory(shell.ports, open);
    g_object_unref(closed);
    g_object_unref(open);
    Place(GTK_FIXED(fixed), GTK_WIDGET(shell.ports), 8, 14, 56, 0);

    shell.program = gtk_button_new_with_label("Program");
    g_signal_connect(shell.program, "clicked", G_CALLBACK(OnProgram), nullptr);
    Place(GTK_FIXED(fixed), shell.program, 72, 14, 56, 14);
    gtk_window_set_default_widget(window, shell.program);

    shell.status = gtk_entry_new();
    gtk_editable_set_editable(GTK_EDITABLE(shell.status), FALSE);
    gtk_editable_set_width_chars(GTK_EDITABLE(shell.status), 1);
    gtk_entry_set_has_frame(GTK_ENTRY(shell.status), FALSE);
    Place(GTK_FIXED(fixed), shell.status, 8, 56, 100, 14);

    if (const char *trace = getenv("VEK_STATUS_TRACE")) {
        shell.trace = fopen(trace, "a");
        if (shell.trace != nullptr)
            g_signal_connect(shell.status, "notify::text", G_CALLBACK(OnStatusChanged), nullptr);
    }
}

static void FillPortList()
{
    std::vector<std::string> ports = ListPorts();
    std::vector<const char *> names;
    names.reserve(ports.size() + 1);
    for (const std::string &port : ports)
        names.push_back(port.c_str());
    names.push_back(nullptr);
    GtkStringList *list = gtk_string_list_new(names.data());
    gtk_drop_down_set_model(shell.ports, G_LIST_MODEL(list));
    g_object_unref(list);
    if (!ports.empty())
        gtk_drop_down_set_selected(shell.ports, 0);
}

void uiStatus(const char *text)
{
    if (shell.status != nullptr)
        gtk_editable_set_text(GTK_EDITABLE(shell.status), text);
}

void uiBeep(unsigned, unsigned)
{
    // The toolkit's bell has no pitch or length.
    if (GdkDisplay *display = gdk_display_get_default())
        gdk_display_beep(display);
}

static void OnBoxResponse(GtkDialog *, int, gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
}

void uiMessageBox(const char *caption, const char *text)
{
    // The nested loop below still dispatches timers: no step may run behind the box.
    StopSteps();
    if (gdk_display_get_default() == nullptr) {
        fprintf(stderr, "%s\n%s", caption, text);
        return;
    }
    GtkWindow *owner = shell.window != nullptr ? GTK_WINDOW(shell.window) : nullptr;
    GtkWidget *box = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                            GTK_BUTTONS_OK, "%s", text);
    gtk_window_set_title(GTK_WINDOW(box), caption);
    gtk_dialog_set_default_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_signal_connect(box, "response", G_CALLBACK(OnBoxResponse), loop);
    gtk_window_present(GTK_WINDOW(box));
    g_main_loop_run(loop);
    gtk_window_destroy(GTK_WINDOW(box));
    g_main_loop_unref(loop);
}

int main()
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    g_set_prgname("vek-update"); // the window's class for window managers
    if (!gtk_init_check()) {
        // No display: the toolkit sets no error code, and errno holds what its probing left.
        errno = 0;
        Terminate("Could not create dialog");
    }
    shell.loop = g_main_loop_new(nullptr, FALSE);

    CreateWindow();
    gtk_window_present(GTK_WINDOW(shell.window));
    FillPortList();
    gtk_widget_grab_focus(GTK_WIDGET(shell.ports));
    status(" - Idle - ");

    PrepareRecord(&installer);
    TakeImage(&installer, vek_image, vek_image_length);

    g_main_loop_run(shell.loop);
    return 0;
}
