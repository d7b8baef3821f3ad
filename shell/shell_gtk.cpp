// The GTK 4 window of the update tool: the port list, the Program button and the status line,
// laid out as the dialog template places them, and the timer that steps the sequence. Around
// them: why a port is missing, what each adapter is, the share of the image written, and a
// hint when the device does not answer.
#include <cstdio>
#include <cstdlib>
#include <gtk/gtk.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/cli.h"
#include "console/console.h"
#include "engine/installer.h"
#include "engine/ui.h"
#include "ports/ports.h"
#include "run/about.h"
#include "run/program.h"
#include "run/window.h"
#include "shell/dialog.h"
#include "shell/trace.h"

// Fixed positions and sizes, in the dialog's units: the window looks the same, and its controls
// are in the same places, whatever the theme and the port names.
static constexpr int DLU = GTK_PIXELS_PER_UNIT;

struct shell_t {
    GtkWidget *window;
    GtkDropDown *ports;
    GListStore *port_items; // one GtkStringObject per port, its description attached
    GtkWidget *ports_hint;  // under the list: why it is empty
    GtkWidget *program;
    GtkWidget *status;
    GtkWidget *progress;
    GtkWidget *hint; // under the bar: the device does not answer, or why the run failed
    GMainLoop *loop;
    guint step_timer; // the pending one-shot step, 0 when none
    run_t run;
};

static shell_t shell;

static const char DESCRIPTION[] = "vek-description";
static const char NO_FREE_PORT[] = "No free serial port: see the console";

static void ShowHint(const std::string &hint)
{
    if (hint != gtk_label_get_text(GTK_LABEL(shell.hint))) {
        gtk_label_set_text(GTK_LABEL(shell.hint), hint.c_str());
        gtk_widget_set_visible(shell.hint, !hint.empty());
    }
}

// The progress bar and the hint under it, from the record as the last step left it.
static void ShowRun()
{
    GtkProgressBar *bar = GTK_PROGRESS_BAR(shell.progress);
    double share = AcknowledgedShare(&installer);
    // Rounded down, as a share of whole per cents; the nudge keeps an exact 29 % (offset * 100 a
    // multiple of the length) from coming out of the division as 28.999... and showing 28 %.
    std::string percent = std::to_string(static_cast<int>(share * 100 + 1e-9)) + "%";
    // Most steps change nothing here (after FAILED the steps go on every 100 ms), and a bar
    // given its own fraction again is still laid out and painted anew.
    if (gtk_progress_bar_get_fraction(bar) != share)
        gtk_progress_bar_set_fraction(bar, share);
    const char *text = gtk_progress_bar_get_text(bar);
    if (text == nullptr || percent != text)
        gtk_progress_bar_set_text(bar, percent.c_str());
    bool failed = installer.state == STATE_VERIFY_FAILED;
    if (failed != gtk_widget_has_css_class(shell.progress, "error")) {
        if (failed)
            gtk_widget_add_css_class(shell.progress, "error");
        else
            gtk_widget_remove_css_class(shell.progress, "error");
    }

    std::string hint;
    if (int resends = SilentResends(&shell.run.watch, &installer)) {
        hint = "No reply from the device yet: check the cable, its power and the port (" +
               std::to_string(resends) + (resends == 1 ? " request" : " requests") + " sent again)";
    }
    if (failed)
        hint = CrcMismatch(&installer) + ": the device was not reset";
    ShowHint(hint);
}

// Nothing of an earlier run: a press of Program that started none.
static void ShowNoRun()
{
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(shell.progress), 0);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(shell.progress), "");
    gtk_widget_remove_css_class(shell.progress, "error");
    ShowHint("");
}

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
    if (RunStep(&shell.run) != RUN_COMPLETED)
        shell.step_timer = g_timeout_add(WINDOWS_TIMER_PERIOD, OnStep, nullptr);
    else
        RunCompleted(&installer);
    ShowRun();
    return G_SOURCE_REMOVE;
}

// The port the selected entry names, or "" when none is selected.
static std::string SelectedPort()
{
    // The entry's own text names the port: no table beside the list to get out of step.
    auto *item = static_cast<GtkStringObject *>(gtk_drop_down_get_selected_item(shell.ports));
    return item != nullptr ? gtk_string_object_get_string(item) : "";
}

static void OnProgram(GtkButton *, gpointer)
{
    std::string port = SelectedPort();
    if (!RunStart(&shell.run, port.c_str())) {
        // A run that goes on goes on; one that has ended leaves nothing behind, and the steps
        // after a failed one would show it again.
        const state_t s = installer.state;
        if (s == STATE_IDLE || s == STATE_COMPLETE || s == STATE_VERIFY_FAILED) {
            StopSteps();
            ShowNoRun();
        }
        return;
    }
    ShowRun();
    StopSteps();
    shell.step_timer = g_timeout_add(WINDOWS_TIMER_PERIOD, OnStep, nullptr);
}

static void OnDestroy(GtkWidget *, gpointer)
{
    // A step already due in this pass of the loop would otherwise write to widgets now gone.
    StopSteps();
    shell.window = nullptr;
    shell.status = nullptr;
    g_main_loop_quit(shell.loop);
}

static void OnSetupLabel(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    // A label too long for the closed list loses its start: what tells ports apart is at the end.
    GtkWidget *label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_START);
    // An ellipsized label still asks for its whole text, which would widen the window.
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    gtk_list_item_set_child(item, label);
}

// The closed list is too narrow for a whole path: it shows the port's own name (a published
// port's, or the device's), the folder too when another entry has the same name, and the whole
// path as its tooltip.
static void OnBindLabel(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    auto *entry = static_cast<GtkStringObject *>(gtk_list_item_get_item(item));
    const std::string path = gtk_string_object_get_string(entry);
    auto name = [](const std::string &p) { return p.substr(p.find_last_of('/') + 1); };
    bool alone = true;
    GListModel *model = G_LIST_MODEL(shell.port_items);
    for (guint i = 0; i < g_list_model_get_n_items(model); i++) {
        auto *other = static_cast<GtkStringObject *>(g_list_model_get_item(model, i));
        const std::string p = gtk_string_object_get_string(other);
        alone = alone && (p == path || name(p) != name(path));
        g_object_unref(other);
    }
    GtkWidget *label = gtk_list_item_get_child(item);
    gtk_label_set_text(GTK_LABEL(label), (alone ? name(path) : path).c_str());
    gtk_widget_set_tooltip_text(label, path.c_str());
}

static GtkWidget *SmallLabel()
{
    GtkWidget *label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    PangoAttrList *small = pango_attr_list_new();
    pango_attr_list_insert(small, pango_attr_scale_new(PANGO_SCALE_SMALL));
    gtk_label_set_attributes(GTK_LABEL(label), small);
    pango_attr_list_unref(small);
    return label;
}

// An entry of the open list: the device path whole, and under it, smaller, what the port is.
static void OnSetupEntry(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget *path = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(path), 0);
    GtkWidget *description = SmallLabel();
    gtk_widget_add_css_class(description, "dim-label");
    gtk_box_append(GTK_BOX(box), path);
    gtk_box_append(GTK_BOX(box), description);
    gtk_list_item_set_child(item, box);
}

static void OnBindEntry(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    GObject *entry = G_OBJECT(gtk_list_item_get_item(item));
    GtkWidget *path = gtk_widget_get_first_child(gtk_list_item_get_child(item));
    GtkWidget *description = gtk_widget_get_next_sibling(path);
    gtk_label_set_text(GTK_LABEL(path), gtk_string_object_get_string(GTK_STRING_OBJECT(entry)));
    // Text from sysfs is what the device chose to say: the label takes only valid UTF-8.
    auto *said = static_cast<const char *>(g_object_get_data(entry, DESCRIPTION));
    gchar *text = g_utf8_make_valid(said != nullptr ? said : "", -1);
    gtk_label_set_text(GTK_LABEL(description), text);
    gtk_widget_set_visible(description, *text != '\0');
    g_free(text);
}

static GtkListItemFactory *Factory(GCallback setup, GCallback bind)
{
    GtkListItemFactory *factory = gtk_signal_list_item_factory_new();
    g_signal_connect(factory, "setup", setup, nullptr);
    g_signal_connect(factory, "bind", bind, nullptr);
    return factory;
}

static bool Shows(const std::vector<port_info> &ports)
{
    GListModel *model = G_LIST_MODEL(shell.port_items);
    if (g_list_model_get_n_items(model) != ports.size())
        return false;
    for (guint i = 0; i < ports.size(); i++) {
        auto *item = static_cast<GtkStringObject *>(g_list_model_get_item(model, i));
        auto *said = static_cast<const char *>(g_object_get_data(G_OBJECT(item), DESCRIPTION));
        bool same = ports[i].path == gtk_string_object_get_string(item) &&
                    ports[i].description == (said != nullptr ? said : "");
        g_object_unref(item);
        if (!same)
            return false;
    }
    return true;
}

// Probes the ports and lists those present and free: at start-up, and each time the list
// opens, so that an adapter plugged in later shows up and one pulled out leaves. The console
// tells, each time, why a device that is there was left out.
static void ProbeAndListPorts(bool at_start)
{
    // A probe opens each port; the one a run holds is listed without that.
    std::string held = installer.h_port.open && installer.port != nullptr ? installer.port : "";
    std::vector<std::string> left_out;
    std::vector<port_info> ports = ProbePorts(held, &left_out);
    for (const std::string &line : left_out)
        conPrint("%s\n", line.c_str());

    std::string selected = SelectedPort();
    if (!Shows(ports)) {
        std::vector<gpointer> items;
        for (const port_info &port : ports) {
            GtkStringObject *item = gtk_string_object_new(port.path.c_str());
            g_object_set_data_full(G_OBJECT(item), DESCRIPTION, g_strdup(port.description.c_str()),
                                   g_free);
            items.push_back(item);
        }
        g_list_store_splice(shell.port_items, 0,
                            g_list_model_get_n_items(G_LIST_MODEL(shell.port_items)), items.data(),
                            static_cast<guint>(items.size()));
        for (gpointer item : items)
            g_object_unref(item);
    }
    // The first entry is chosen at start; later the entry chosen stays chosen while its port is
    // there. When it has gone nothing is chosen, rather than whichever port now comes first:
    // Program then says that no port is selected instead of writing to another device.
    guint position = at_start && !ports.empty() ? 0 : GTK_INVALID_LIST_POSITION;
    for (guint i = 0; i < ports.size(); i++) {
        if (ports[i].path == selected)
            position = i;
    }
    gtk_drop_down_set_selected(shell.ports, position);
    gtk_label_set_text(GTK_LABEL(shell.ports_hint),
                       ports.empty() && !left_out.empty() ? NO_FREE_PORT : "");
    TracePorts();
}

static void OnListShown(GtkWidget *, gpointer)
{
    ProbeAndListPorts(false);
}

// The drop-down has no signal of its own for its list opening; its popover is shown then,
// whether by mouse or keyboard, before it appears on the screen.
static void ProbeWhenListOpens()
{
    for (GtkWidget *child = gtk_widget_get_first_child(GTK_WIDGET(shell.ports)); child != nullptr;
         child = gtk_widget_get_next_sibling(child)) {
        if (GTK_IS_POPOVER(child))
            g_signal_connect(child, "show", G_CALLBACK(OnListShown), nullptr);
    }
}

struct rect {
    int x, y, width, height;
};

static void Place(GtkFixed *fixed, GtkWidget *child, int x, int y, int width, int height)
{
    gtk_widget_set_size_request(child, width * DLU, height > 0 ? height * DLU : -1);
    gtk_fixed_put(fixed, child, x * DLU, y * DLU);
}

// The failed state of the progress bar, in the theme's colour for errors where it has one.
static const char CSS[] = "progressbar.error > trough > progress {"
                          " background-color: @error_color; border-color: @error_color; }";

// Laid out as the Win32 dialog, in its units. Under the list, why it is empty; under the status
// line, the progress bar and a hint when the device does not answer. Tab order follows the
// order of creation.
static void CreateWindow()
{
    shell.window = gtk_window_new();
    GtkWindow *window = GTK_WINDOW(shell.window);
    gtk_window_set_title(window, VEK_TITLE);
    gtk_window_set_resizable(window, FALSE);
    g_signal_connect(shell.window, "destroy", G_CALLBACK(OnDestroy), nullptr);

    GtkCssProvider *css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, CSS, -1);
    gtk_style_context_add_provider_for_display(gtk_widget_get_display(shell.window),
                                               GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    GtkWidget *fixed = gtk_fixed_new();
    const rect dialog{DIALOG_AT}, ports{PORTS_AT}, program{PROGRAM_AT}, status_line{STATUS_AT};
    gtk_widget_set_size_request(fixed, dialog.width * DLU, dialog.height * DLU);
    gtk_window_set_child(window, fixed);

    // The closed list shows the path; the open list shows it whole, with what the port is.
    shell.port_items = g_list_store_new(GTK_TYPE_STRING_OBJECT);
    shell.ports = GTK_DROP_DOWN(gtk_drop_down_new(G_LIST_MODEL(shell.port_items), nullptr));
    GtkListItemFactory *closed = Factory(G_CALLBACK(OnSetupLabel), G_CALLBACK(OnBindLabel));
    GtkListItemFactory *open = Factory(G_CALLBACK(OnSetupEntry), G_CALLBACK(OnBindEntry));
    gtk_drop_down_set_factory(shell.ports, closed);
    gtk_drop_down_set_list_factory(shell.ports, open);
    g_object_unref(closed);
    g_object_unref(open);
    // The template's height is the list's dropped down; closed, the list keeps its own.
    Place(GTK_FIXED(fixed), GTK_WIDGET(shell.ports), ports.x, ports.y, ports.width, 0);
    ProbeWhenListOpens();

    shell.ports_hint = SmallLabel();
    Place(GTK_FIXED(fixed), shell.ports_hint, 8, 33, 164, 0);

    shell.program = gtk_button_new_with_label("Program");
    g_signal_connect(shell.program, "clicked", G_CALLBACK(OnProgram), nullptr);
    Place(GTK_FIXED(fixed), shell.program, program.x, program.y, program.width, program.height);
    gtk_window_set_default_widget(window, shell.program);

    shell.status = gtk_entry_new();
    gtk_editable_set_editable(GTK_EDITABLE(shell.status), FALSE);
    gtk_editable_set_width_chars(GTK_EDITABLE(shell.status), 1);
    gtk_entry_set_has_frame(GTK_ENTRY(shell.status), FALSE);
    Place(GTK_FIXED(fixed), shell.status, status_line.x, status_line.y, status_line.width,
          status_line.height);

    shell.progress = gtk_progress_bar_new();
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(shell.progress), TRUE);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(shell.progress), "");
    Place(GTK_FIXED(fixed), shell.progress, 8, 71, 164, 0);

    // Two lines at most, and no wider than placed, so that the window keeps its size.
    shell.hint = SmallLabel();
    gtk_label_set_wrap(GTK_LABEL(shell.hint), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(shell.hint), 1);
    gtk_label_set_lines(GTK_LABEL(shell.hint), 2);
    gtk_label_set_ellipsize(GTK_LABEL(shell.hint), PANGO_ELLIPSIZE_END);
    gtk_widget_set_visible(shell.hint, FALSE);
    Place(GTK_FIXED(fixed), shell.hint, 8, 82, 164, 0);
}

void uiStatus(const char *text)
{
    if (CliStatus(text))
        return;
    if (shell.status != nullptr)
        gtk_editable_set_text(GTK_EDITABLE(shell.status), text);
}

void uiBeep(unsigned, unsigned)
{
    if (CliBeep())
        return;
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
    if (CliBox(caption, text))
        return;
    // The nested loop below still dispatches timers: no step may run behind the box.
    StopSteps();
    if (gdk_display_get_default() == nullptr) {
        conError("%s\n%s", caption, text);
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

// What the toolkit reports goes to standard error as it would, and into the console log.
static GLogWriterOutput OnToolkitMessage(GLogLevelFlags level, const GLogField *fields,
                                         gsize n_fields, gpointer data)
{
    const char *domain = nullptr;
    for (gsize i = 0; i < n_fields; i++) {
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0)
            domain = static_cast<const char *>(fields[i].value);
    }
    if (!g_log_writer_default_would_drop(level, domain)) {
        gchar *line = g_log_writer_format_fields(level, fields, n_fields, FALSE);
        conLogWrite(std::string(line) + "\n");
        g_free(line);
    }
    return g_log_writer_default(level, fields, n_fields, data);
}

static void KeepToolkitMessages()
{
    g_log_set_writer_func(OnToolkitMessage, nullptr, nullptr);
}

// Where the session bus is, or how to start one, as GLib looks for it.
static bool SessionBus()
{
    const char *address = getenv("DBUS_SESSION_BUS_ADDRESS");
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    if ((address != nullptr && *address != '\0') ||
        (runtime != nullptr && access((std::string(runtime) + "/bus").c_str(), F_OK) == 0))
        return true;
    gchar *launcher = g_find_program_in_path("dbus-launch");
    const bool found = launcher != nullptr;
    g_free(launcher);
    return found;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1)
        return CommandLine(argc, argv, vek_image, vek_image_length);
    StartLog(ImageCrc(vek_image, vek_image_length));
    KeepToolkitMessages();
    g_set_prgname("vek-update"); // the window's class for window managers
    // Accessibility reaches screen readers over the session bus. Where there is none and none
    // can be started, no screen reader can listen either, and GTK would warn at every start.
    if (!SessionBus())
        g_setenv("GTK_A11Y", "none", FALSE);
    if (!gtk_init_check()) {
        const char *x11 = getenv("DISPLAY"), *wayland = getenv("WAYLAND_DISPLAY");
        if ((x11 == nullptr || *x11 == '\0') && (wayland == nullptr || *wayland == '\0'))
            conError("vek-update: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                     "runs with --port need none (see --help)\n");
        else
            conError("vek-update: cannot open the display %s; runs with --port need none (see "
                     "--help)\n",
                     x11 != nullptr && *x11 != '\0' ? x11 : wayland);
        return EXIT_USAGE;
    }
    shell.loop = g_main_loop_new(nullptr, FALSE);
    shell.run = {&installer, false, 0, {}};

    CreateWindow();
    TraceStart(shell.window, shell.status, shell.progress, shell.hint, shell.ports,
               shell.ports_hint);
    gtk_window_present(GTK_WINDOW(shell.window));
    ProbeAndListPorts(true);
    gtk_widget_grab_focus(GTK_WIDGET(shell.ports));
    status(" - Idle - ");

    PrepareRecord(&installer);
    TakeImage(&installer, vek_image, vek_image_length);

    g_main_loop_run(shell.loop);
    return 0;
}
