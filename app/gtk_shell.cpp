#include "app/gtk_shell.h"

#include <memory>

#include "app/notify_gio.h"
#include "app/settings.h"
#include "bridge/queues.h"
#include "scan/scan.h"

namespace {

// The page's texts are short; anything this long is no log or path.
constexpr size_t kMaxClipboardBytes = 4 << 20;

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

// One chooser, answered once.
struct ChooserCall {
    std::shared_ptr<Bridge> bridge;
    int64_t call;
    bool folder;  // "choose_folder", else "pick"
};

// The chosen name, when the page can carry it (valid UTF-8).
std::optional<std::string> chosenName(GtkNativeDialog* dialog) {
    std::unique_ptr<char, decltype(&g_free)> name(gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog)), &g_free);
    if (!name || !g_utf8_validate(name.get(), -1, nullptr)) return std::nullopt;
    return std::string(name.get());
}

void onChooserResponse(GtkNativeDialog* dialog, gint response, gpointer data) noexcept {
    std::unique_ptr<ChooserCall> request(static_cast<ChooserCall*>(data));
    try {
        const std::optional<std::string> name =
            response == GTK_RESPONSE_ACCEPT ? chosenName(dialog) : std::nullopt;
        if (!name) {
            request->bridge->reply(request->call, Value::object());
        } else if (!request->folder) {
            request->bridge->reply(request->call, Value{{"path", *name}});
        } else {
            // Whether the folder lies on a card takes a walk of that card: off the main thread.
            runInBackground([bridge = request->bridge, call = request->call, folder = *name] {
                Value entry = chosenPlaceEntry(folder);
                if (!entry.contains("error")) {
                    setChosenFolder(folder);
                    saveWorkFolder(settingsFolder(), folder);  // if it fails, it lasts for this run
                }
                bridge->reply(call, std::move(entry));
            });
        }
    } catch (...) {
        // Out of memory: the page's request stays pending.
    }
    g_object_unref(dialog);
}

void showChooser(GtkFileChooserNative* chooser, std::unique_ptr<ChooserCall> request) {
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    g_signal_connect(chooser, "response", G_CALLBACK(onChooserResponse), request.release());
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace

// The desktop's own file chooser (a portal where there is one), filtered to
// finished recordings and opened in the recording's folder, where a
// reference or a donor most likely lies.
void GtkShell::pickFile(Bridge& bridge, int64_t call, const Value& args) {
    auto rsvIt = args.find("rsv");
    const std::string rsv = rsvIt != args.end() && rsvIt->is_string() ? rsvIt->get<std::string>() : "";
    auto donorIt = args.find("donor");
    const bool donor = donorIt != args.end() && donorIt->is_boolean() && donorIt->get<bool>();

    GtkFileChooserNative* chooser =
        gtk_file_chooser_native_new(donor ? "같은 카메라로 찍은 다른 파일 고르기" : "참조 파일 고르기", window_,
                                    GTK_FILE_CHOOSER_ACTION_OPEN, "고르기", "취소");
    GtkFileFilter* videos = gtk_file_filter_new();
    gtk_file_filter_set_name(videos, "녹화 파일 (MP4, MOV, MXF)");
    for (const char* pattern : {"*.[Mm][Pp]4", "*.[Mm][Oo][Vv]", "*.[Mm][Xx][Ff]"})
        gtk_file_filter_add_pattern(videos, pattern);
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), videos);  // the chooser takes it
    const std::string folder = folderOf(rsv);
    if (!folder.empty()) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.c_str());
    showChooser(chooser, std::make_unique<ChooserCall>(ChooserCall{bridge.shared_from_this(), call, false}));
}

// Opens where the user chose last, else in the videos folder.
void GtkShell::chooseFolder(Bridge& bridge, int64_t call, const Value&) {
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        "복구본을 저장할 폴더 고르기", window_, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "이 폴더에 저장", "취소");
    const std::string start = chosenFolder().empty() ? videosFolder() : chosenFolder();
    if (!start.empty()) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), start.c_str());
    showChooser(chooser, std::make_unique<ChooserCall>(ChooserCall{bridge.shared_from_this(), call, true}));
}

void GtkShell::copyText(Bridge& bridge, int64_t call, const Value& args) {
    auto text = args.find("text");
    if (text == args.end() || !text->is_string() || text->get_ref<const std::string&>().size() > kMaxClipboardBytes) {
        bridge.reply(call, Value{{"error", "복사할 내용이 없습니다"}});
        return;
    }
    const std::string& s = text->get_ref<const std::string&>();
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), s.data(), gint(s.size()));
    bridge.reply(call, Value::object());
}

void GtkShell::jobAdmitted(const std::string& id, const std::string& rsvPath) {
    watch_.admitted(id, rsvPath.substr(rsvPath.rfind('/') + 1));
    if (window_) gtk_window_set_title(window_, watch_.title().c_str());
}

void GtkShell::jobState(const Value& state) {
    const std::optional<JobNotice> notice = watch_.update(state);
    if (!window_) return;
    gtk_window_set_title(window_, watch_.title().c_str());
    if (notice && !gtk_window_is_active(window_)) notifyDesktop(notice->title, notice->body);
}
