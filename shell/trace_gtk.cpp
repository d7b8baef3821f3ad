#include "shell/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

struct trace_t {
    FILE *file;
    GtkWidget *progress, *hint, *ports_hint; // progress null once the window has gone
    GtkDropDown *ports;
    std::string progress_line, hint_line; // as last written
    guint pending;                        // the idle that writes what a step changed
};

trace_t trace;

[[gnu::format(printf, 1, 2)]] void Trace(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(trace.file, fmt, ap);
    va_end(ap);
    fputc('\n', trace.file);
    fflush(trace.file);
}

void TraceStatus(GObject *entry, GParamSpec *, gpointer)
{
    Trace("%s", gtk_editable_get_text(GTK_EDITABLE(entry)));
}

// Written once a step has set them all, not for each property on its way.
gboolean TraceRun(gpointer)
{
    trace.pending = 0;
    if (trace.progress == nullptr)
        return G_SOURCE_REMOVE;
    GtkProgressBar *bar = GTK_PROGRESS_BAR(trace.progress);
    char line[100];
    snprintf(line, sizeof line, "%.4f %s %s", gtk_progress_bar_get_fraction(bar),
             gtk_progress_bar_get_text(bar),
             gtk_widget_has_css_class(trace.progress, "error") ? "error" : "normal");
    if (trace.progress_line != line)
        Trace("@progress %s", line);
    trace.progress_line = line;
    std::string hint =
        gtk_widget_get_visible(trace.hint) ? gtk_label_get_text(GTK_LABEL(trace.hint)) : "";
    if (trace.hint_line != hint)
        Trace("@hint %s", hint.c_str());
    trace.hint_line = hint;
    return G_SOURCE_REMOVE;
}

void TraceRunChanged(GObject *, GParamSpec *, gpointer)
{
    if (trace.pending == 0)
        trace.pending = g_idle_add(TraceRun, nullptr);
}

void TraceRow(GtkSignalListItemFactory *, GtkListItem *item, gpointer)
{
    GtkWidget *path = gtk_widget_get_first_child(gtk_list_item_get_child(item));
    gchar **lines =
        g_strsplit(gtk_label_get_text(GTK_LABEL(gtk_widget_get_next_sibling(path))), "\n", -1);
    gchar *shown = g_strjoinv(" | ", lines);
    Trace("@row %s\t%s", gtk_label_get_text(GTK_LABEL(path)), shown);
    g_free(shown);
    g_strfreev(lines);
}

// An idle already due when the window goes must not read widgets that have gone with it.
void TraceGone(GtkWidget *, gpointer)
{
    trace.progress = nullptr;
}

} // namespace

void TraceStart(GtkWidget *window, GtkWidget *status, GtkWidget *progress, GtkWidget *hint,
                GtkDropDown *ports, GtkWidget *ports_hint)
{
    const char *path = getenv("VEK_STATUS_TRACE");
    if (path == nullptr || (trace.file = fopen(path, "a")) == nullptr)
        return;
    trace.progress = progress;
    trace.hint = hint;
    trace.ports = ports;
    trace.ports_hint = ports_hint;
    g_signal_connect(window, "destroy", G_CALLBACK(TraceGone), nullptr);
    g_signal_connect(status, "notify::text", G_CALLBACK(TraceStatus), nullptr);
    for (const char *property : {"notify::fraction", "notify::text", "notify::css-classes"})
        g_signal_connect(progress, property, G_CALLBACK(TraceRunChanged), nullptr);
    for (const char *property : {"notify::label", "notify::visible"})
        g_signal_connect(hint, property, G_CALLBACK(TraceRunChanged), nullptr);
    g_signal_connect(gtk_drop_down_get_list_factory(ports), "bind", G_CALLBACK(TraceRow), nullptr);
}

void TracePorts()
{
    if (trace.file == nullptr)
        return;
    auto *chosen = static_cast<GtkStringObject *>(gtk_drop_down_get_selected_item(trace.ports));
    std::string listed =
        std::string("@list ") + (chosen != nullptr ? gtk_string_object_get_string(chosen) : "");
    GListModel *model = gtk_drop_down_get_model(trace.ports);
    for (guint i = 0; i < g_list_model_get_n_items(model); i++) {
        auto *item = static_cast<GtkStringObject *>(g_list_model_get_item(model, i));
        listed += std::string("\t") + gtk_string_object_get_string(item);
        g_object_unref(item);
    }
    Trace("%s", listed.c_str());
    Trace("@ports-hint %s", gtk_label_get_text(GTK_LABEL(trace.ports_hint)));
}
