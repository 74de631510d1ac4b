// The desktop window on GTK 3 with WebKitGTK: menus, the one window, the web
// view showing the page, the page's message channel and the unattended start.
//
// Everything here runs on the main thread (the thread that called runWindow and
// runs the GTK main loop). Every GTK and WebKit callback is a noexcept barrier.
#include <gtk/gtk.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/autostart.h"
#include "app/commands.h"
#include "app/gtk_shell.h"
#include "app/help_text.h"
#include "app/mount_watch.h"
#include "app/page_policy.h"
#include "app/webkit_compat.h"
#include "app/window.h"
#include "bridge/queues.h"
#include "bridge/resources.h"
#include "job/job.h"
#include "scan/scan.h"

namespace {

constexpr int kContentWidth = 1060;
constexpr int kContentHeight = 780;
constexpr int kMinContentWidth = 760;
constexpr int kMinContentHeight = 560;
constexpr double kBackgroundGrey = 0.05;
constexpr std::chrono::milliseconds kAutostartDelay{3000};

std::thread::id g_mainThread;

template <typename T>
struct GObjectDeleter {
    void operator()(T* p) const noexcept { g_object_unref(p); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter<T>>;

std::optional<std::string> canonicalPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

// The web view as the bridge sees it. The window owns the only strong
// reference; the bridge holds a weak one, so once the window is gone every
// pending reply finds nothing to evaluate in.
class WebViewSink : public ScriptSink, public std::enable_shared_from_this<WebViewSink> {
public:
    explicit WebViewSink(WebKitWebView* view) : view_(view) {}

    // Called when the web view is destroyed; later scripts are dropped.
    void detach() { view_ = nullptr; }

    void evaluateScript(const std::string& script) override {
        if (std::this_thread::get_id() != g_mainThread) {
            // WebKit may only be touched on the main thread; a caller on another
            // thread is served on the main queue instead of corrupting the view.
            postMain([weak = weak_from_this(), script] {
                if (auto self = weak.lock()) self->evaluateScript(script);
            });
            return;
        }
        if (view_) webkit_compat::evaluate(view_, script);
    }

private:
    WebKitWebView* view_;  // not owned; the window holds it
};

// The application and window delegate: builds the menus, the window and the
// web view, and ends the process when the window closes. Lives until the
// process ends.
class AppDelegate {
public:
    AppDelegate(std::shared_ptr<Bridge> bridge, Desktop& desktop) : bridge_(std::move(bridge)), desktop_(desktop) {}

    void buildMenus();
    void finishLaunching();

private:
    bool jobsRunning() const;
    bool confirmQuit();
    void buildWindow();
    void buildWebView();
    void loadPage();
    void scheduleAutostart();

    GtkWidget* addItem(GtkWidget* menu, const char* title, guint key, GCallback action, const char* command);

    static void onQuit(GtkMenuItem*, gpointer self) noexcept;
    static void onEditCommand(GtkMenuItem* item, gpointer self) noexcept;
    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self) noexcept;
    static void onWebViewDestroy(GtkWidget*, gpointer self) noexcept;
    static void onScriptMessage(WebKitUserContentManager*, webkit_compat::ScriptMessage* message,
                                gpointer self) noexcept;
    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer self) noexcept;
    static void onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) noexcept;
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) noexcept;
    static void onGuide(GtkMenuItem*, gpointer self) noexcept;
    static void onAbout(GtkMenuItem*, gpointer self) noexcept;
    static gboolean onDragDrop(GtkWidget*, GdkDragContext*, gint, gint, guint, gpointer self) noexcept;
    static void onDragData(GtkWidget*, GdkDragContext*, gint x, gint y, GtkSelectionData* data, guint, guint,
                           gpointer self) noexcept;

    std::shared_ptr<Bridge> bridge_;
    Desktop& desktop_;
    GtkShell shell_;
    bool dropping_ = false;  // a drop is under way: its data goes to the page
    GtkAccelGroup* accel_ = nullptr;   // owned by the window once added
    GtkWidget* menuBar_ = nullptr;     // owned by the window once packed
    GtkWidget* window_ = nullptr;
    WebKitWebView* webView_ = nullptr;  // owned by the window
    std::shared_ptr<WebViewSink> sink_;
    std::string webDir_;
    bool pageLoaded_ = false;
    std::optional<std::string> autostartDue_;  // the hook's script, waiting for the page
    std::unique_ptr<MountWatch> mounts_;
};

GtkWidget* AppDelegate::addItem(GtkWidget* menu, const char* title, guint key, GCallback action,
                                const char* command) {
    GtkWidget* item = gtk_menu_item_new_with_label(title);
    if (command) g_object_set_data(G_OBJECT(item), "editing-command", const_cast<char*>(command));
    g_signal_connect(item, "activate", action, this);
    gtk_widget_add_accelerator(item, "activate", accel_, key, GDK_CONTROL_MASK, GTK_ACCEL_VISIBLE);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    return item;
}

void AppDelegate::buildMenus() {
    accel_ = gtk_accel_group_new();
    menuBar_ = gtk_menu_bar_new();

    GtkWidget* appItem = gtk_menu_item_new_with_label("TORVELIN RECOVERY");
    GtkWidget* appMenu = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(appMenu), accel_);
    addItem(appMenu, "TORVELIN RECOVERY 종료", GDK_KEY_q, G_CALLBACK(onQuit), nullptr);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(appItem), appMenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(menuBar_), appItem);

    // The window's accelerators see Ctrl+C, V and A before the page does, so
    // these items are what copies, pastes and selects in the page's text
    // fields: they run WebKit's own editing commands on the focused element.
    GtkWidget* editItem = gtk_menu_item_new_with_label("편집");
    GtkWidget* editMenu = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(editMenu), accel_);
    addItem(editMenu, "복사", GDK_KEY_c, G_CALLBACK(onEditCommand), WEBKIT_EDITING_COMMAND_COPY);
    addItem(editMenu, "붙여넣기", GDK_KEY_v, G_CALLBACK(onEditCommand), WEBKIT_EDITING_COMMAND_PASTE);
    addItem(editMenu, "모두 선택", GDK_KEY_a, G_CALLBACK(onEditCommand), WEBKIT_EDITING_COMMAND_SELECT_ALL);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(editItem), editMenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(menuBar_), editItem);

    GtkWidget* helpItem = gtk_menu_item_new_with_label("도움말");
    GtkWidget* helpMenu = gtk_menu_new();
    for (const auto& [title, action] : {std::pair{"사용 안내", G_CALLBACK(onGuide)},
                                        std::pair{"TORVELIN RECOVERY 정보", G_CALLBACK(onAbout)}}) {
        GtkWidget* item = gtk_menu_item_new_with_label(title);
        g_signal_connect(item, "activate", action, this);
        gtk_menu_shell_append(GTK_MENU_SHELL(helpMenu), item);
    }
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(helpItem), helpMenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(menuBar_), helpItem);
}

void AppDelegate::finishLaunching() {
    buildWebView();
    buildWindow();
    shell_.setWindow(GTK_WINDOW(window_));
    installCommands(*bridge_, desktop_, shell_);
    bridge_->observePushes([this](const std::string& name, const Value& value) {
        if (name == "__progress") shell_.jobState(value);
    });
    mounts_ = std::make_unique<MountWatch>(mountDirectory(), true, [this] {
        bridge_->push("__volumesChanged", Value::object());
    });
    loadPage();
    scheduleAutostart();
}

bool AppDelegate::jobsRunning() const {
    for (const auto& entry : bridge_->jobs)
        if (entry.second && entry.second->running()) return true;
    return false;
}

// Asks before a running recovery is left behind. True: end the application.
bool AppDelegate::confirmQuit() {
    if (!jobsRunning()) return true;
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING,
                                               GTK_BUTTONS_NONE, "복구 작업이 진행 중입니다");
    gtk_window_set_title(GTK_WINDOW(dialog), "복구 작업이 진행 중입니다");
    gtk_message_dialog_format_secondary_text(
        GTK_MESSAGE_DIALOG(dialog), "%s", "지금 끝내면 이 복구는 마무리되지 않습니다.\n작업 폴더에 쓴 파일은 그대로 남습니다.");
    gtk_dialog_add_button(GTK_DIALOG(dialog), "계속", GTK_RESPONSE_CANCEL);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "끝내기", GTK_RESPONSE_ACCEPT);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response == GTK_RESPONSE_ACCEPT;
}

void AppDelegate::buildWebView() {
    GObjectPtr<WebKitUserContentManager> content(webkit_user_content_manager_new());
    // Connected before the name is registered, so no early message is missed.
    g_signal_connect(content.get(), "script-message-received::bridge", G_CALLBACK(onScriptMessage), this);
    webkit_user_content_manager_register_script_message_handler(content.get(), "bridge");

    GObjectPtr<WebKitWebContext> context(webkit_compat::newEphemeralContext());
    g_signal_connect(context.get(), "download-started", G_CALLBACK(onDownloadStarted), this);

    GObjectPtr<WebKitSettings> settings(webkit_settings_new());
    // The page loads its own scripts, styles and images from its folder.
    webkit_settings_set_allow_file_access_from_file_urls(settings.get(), TRUE);
    webkit_settings_set_javascript_can_open_windows_automatically(settings.get(), FALSE);
    webkit_settings_set_enable_developer_extras(settings.get(), FALSE);

    webView_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context.get(),
                                            "user-content-manager", content.get(), "settings", settings.get(),
                                            nullptr));
    const GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(webView_, &clear);
    g_signal_connect(webView_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(webView_, "destroy", G_CALLBACK(onWebViewDestroy), this);
    g_signal_connect(webView_, "load-changed", G_CALLBACK(onLoadChanged), this);
    // Before WebKit's own handlers, which then give the page its drop event.
    g_signal_connect(webView_, "drag-drop", G_CALLBACK(onDragDrop), this);
    g_signal_connect(webView_, "drag-data-received", G_CALLBACK(onDragData), this);
    gtk_widget_set_size_request(GTK_WIDGET(webView_), kMinContentWidth, kMinContentHeight);

    sink_ = std::make_shared<WebViewSink>(webView_);
    bridge_->webView = sink_;
}

void AppDelegate::buildWindow() {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window_), kAppTitle);
    gtk_window_add_accel_group(GTK_WINDOW(window_), accel_);
    g_object_unref(accel_);  // the window keeps it

    char css[128];
    const double level = kBackgroundGrey * 255.0;
    std::snprintf(css, sizeof css, "window { background-color: rgb(%.2f, %.2f, %.2f); }", level, level, level);
    GObjectPtr<GtkCssProvider> provider(gtk_css_provider_new());
    gtk_css_provider_load_from_data(provider.get(), css, -1, nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(window_), GTK_STYLE_PROVIDER(provider.get()),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_pack_start(GTK_BOX(box), menuBar_, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), GTK_WIDGET(webView_), TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window_), box);

    // The page gets 1060 x 780 (at least 760 x 560, the web view's own minimum);
    // the menu bar sits above that.
    // (A hidden widget asks for no room, so the menu bar is shown first.)
    gtk_widget_show_all(box);
    int menuHeight = 0;
    gtk_widget_get_preferred_height(menuBar_, nullptr, &menuHeight);
    gtk_window_set_default_size(GTK_WINDOW(window_), kContentWidth, kContentHeight + menuHeight);
    gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
    g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);

    gtk_widget_show_all(window_);
    gtk_widget_grab_focus(GTK_WIDGET(webView_));
    gtk_window_present(GTK_WINDOW(window_));
}

void AppDelegate::loadPage() {
    if (auto web = canonicalPath(resourcesDir() + "/web")) webDir_ = *web;
    const std::optional<std::string> page = resourcePath("web/index.html");
    if (!page) return;  // an empty dark window, on purpose without a message
    const std::optional<std::string> absolute = canonicalPath(*page);
    if (!absolute) return;
    std::unique_ptr<char, decltype(&g_free)> uri(g_filename_to_uri(absolute->c_str(), nullptr, nullptr), &g_free);
    if (uri) webkit_web_view_load_uri(webView_, uri.get());
}

void AppDelegate::scheduleAutostart() {
    const std::optional<std::string> name = autostartName();
    if (!name) return;
    postMainAfter(kAutostartDelay, [this, script = autostartScript(*name)] {
        // A script evaluated before the page has loaded would be thrown away
        // with the blank document; on a slow start it waits for the page.
        if (pageLoaded_) {
            if (sink_) sink_->evaluateScript(script);
        } else {
            autostartDue_ = script;
        }
    });
}

void AppDelegate::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) noexcept {
    if (event != WEBKIT_LOAD_FINISHED) return;
    auto* d = static_cast<AppDelegate*>(self);
    d->pageLoaded_ = true;
    try {
        if (d->autostartDue_ && d->sink_) d->sink_->evaluateScript(*d->autostartDue_);
    } catch (...) {
        // Out of memory: the unattended start is skipped like a script error.
    }
    d->autostartDue_.reset();
}

void AppDelegate::onGuide(GtkMenuItem*, gpointer self) noexcept {
    auto* d = static_cast<AppDelegate*>(self);
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(d->window_), GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_CLOSE, "TORVELIN RECOVERY 사용 안내");
    gtk_window_set_title(GTK_WINDOW(dialog), "사용 안내");
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", guideText());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

void AppDelegate::onAbout(GtkMenuItem*, gpointer self) noexcept {
    auto* d = static_cast<AppDelegate*>(self);
    try {
        std::string licences = "오픈소스 라이선스 파일을 찾을 수 없습니다";
        if (const std::optional<std::string> path = resourcePath("LICENSES.txt")) {
            gchar* text = nullptr;
            if (g_file_get_contents(path->c_str(), &text, nullptr, nullptr) && g_utf8_validate(text, -1, nullptr))
                licences = text;
            g_free(text);
        }
        GtkWidget* about = gtk_about_dialog_new();
        gtk_window_set_transient_for(GTK_WINDOW(about), GTK_WINDOW(d->window_));
        gtk_about_dialog_set_program_name(GTK_ABOUT_DIALOG(about), "TORVELIN RECOVERY");
        gtk_about_dialog_set_version(GTK_ABOUT_DIALOG(about), versionText().c_str());
        gtk_about_dialog_set_comments(GTK_ABOUT_DIALOG(about), "끊긴 카메라 녹화(RSV)를 재생되는 MP4로 복구합니다.");
        gtk_about_dialog_set_license(GTK_ABOUT_DIALOG(about), licences.c_str());
        gtk_about_dialog_set_wrap_license(GTK_ABOUT_DIALOG(about), TRUE);
        gtk_about_dialog_set_logo_icon_name(GTK_ABOUT_DIALOG(about), "torvelin-recovery");
        gtk_dialog_run(GTK_DIALOG(about));
        gtk_widget_destroy(about);
    } catch (...) {
        // Out of memory: no About window.
    }
}

gboolean AppDelegate::onDragDrop(GtkWidget*, GdkDragContext*, gint, gint, guint, gpointer self) noexcept {
    static_cast<AppDelegate*>(self)->dropping_ = true;
    return FALSE;  // WebKit goes on to ask for the data and tell the page
}

// The page's drop event carries file names only; the paths come as "__drop"
// {"path", "paths", "x", "y"} just before it.
void AppDelegate::onDragData(GtkWidget*, GdkDragContext*, gint x, gint y, GtkSelectionData* data, guint, guint,
                             gpointer self) noexcept {
    auto* d = static_cast<AppDelegate*>(self);
    if (!d->dropping_) return;  // asked for while hovering: nothing was dropped yet
    d->dropping_ = false;
    try {
        std::vector<std::string> uris;
        if (gchar** list = gtk_selection_data_get_uris(data)) {
            for (gchar** u = list; *u; ++u) uris.emplace_back(*u);
            g_strfreev(list);
        }
        const std::vector<std::string> paths = filePathsFromUris(uris);
        if (paths.empty()) return;
        d->bridge_->push("__drop", Value{{"path", paths.front()}, {"paths", paths}, {"x", x}, {"y", y}});
    } catch (...) {
        // The drop is lost; the page still has its own event.
    }
}

void AppDelegate::onQuit(GtkMenuItem*, gpointer self) noexcept {
    // Quitting and closing the window are one path.
    auto* d = static_cast<AppDelegate*>(self);
    if (d->window_) gtk_window_close(GTK_WINDOW(d->window_));
}

void AppDelegate::onEditCommand(GtkMenuItem* item, gpointer self) noexcept {
    auto* d = static_cast<AppDelegate*>(self);
    const auto* command = static_cast<const char*>(g_object_get_data(G_OBJECT(item), "editing-command"));
    if (d->webView_ && command) webkit_web_view_execute_editing_command(d->webView_, command);
}

gboolean AppDelegate::onDelete(GtkWidget*, GdkEvent*, gpointer self) noexcept {
    // With a recovery running the user is asked first; "끝내기" ends the
    // application with its window, at once: running jobs are not waited for.
    // Replies still queued find no web view and do nothing.
    auto* d = static_cast<AppDelegate*>(self);
    try {
        if (!d->confirmQuit()) return TRUE;  // "계속": the window stays
    } catch (...) {
        // No dialog could be shown: closing is what the user asked for.
    }
    d->mounts_.reset();
    d->sink_.reset();
    gtk_main_quit();
    return FALSE;
}

void AppDelegate::onWebViewDestroy(GtkWidget*, gpointer self) noexcept {
    auto* d = static_cast<AppDelegate*>(self);
    if (d->sink_) d->sink_->detach();
    d->webView_ = nullptr;
}

void AppDelegate::onScriptMessage(WebKitUserContentManager*, webkit_compat::ScriptMessage* message,
                                  gpointer self) noexcept {
    try {
        const std::optional<std::string> json = webkit_compat::messageJson(message);
        if (json) static_cast<AppDelegate*>(self)->bridge_->receive(*json);
    } catch (...) {
        // A request that cannot be handled is dropped like a malformed one.
    }
}

gboolean AppDelegate::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                     gpointer self) noexcept {
    // Only the page's own files may ever be shown, so no other page can reach
    // the bridge; new windows and anything that would become a download are
    // refused.
    try {
        switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION: {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
            const auto* d = static_cast<AppDelegate*>(self);
            if (uri && !d->webDir_.empty() && isPageAddress(uri, d->webDir_)) {
                webkit_policy_decision_use(decision);
            } else {
                webkit_policy_decision_ignore(decision);
            }
            return TRUE;
        }
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
            if (webkit_response_policy_decision_is_mime_type_supported(WEBKIT_RESPONSE_POLICY_DECISION(decision))) {
                webkit_policy_decision_use(decision);
            } else {
                webkit_policy_decision_ignore(decision);
            }
            return TRUE;
        default:
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
    } catch (...) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
    }
}

void AppDelegate::onDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer) noexcept {
    webkit_download_cancel(download);
}

}  // namespace

int runWindow(int argc, char** argv, const Options&, const std::shared_ptr<Bridge>& bridge, Desktop& desktop) {
    g_mainThread = std::this_thread::get_id();
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "cannot open the display; use --headless without one\n");
        return 1;
    }
    // Dark whatever the desktop's theme, as the page is designed for it.
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);

    static AppDelegate delegate(bridge, desktop);  // kept for the life of the process
    delegate.buildMenus();
    delegate.finishLaunching();
    gtk_main();

    // The window is closed: the process ends now, without waiting for work
    // items still running on their threads (they must not meet destroyed
    // statics) and without running further main-queue items.
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(0);
}
