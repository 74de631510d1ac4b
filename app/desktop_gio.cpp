#include "app/desktop_gio.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <memory>

const char kNoSuchFile[] = "파일을 찾을 수 없습니다 — 작업 볼륨이 연결되어 있는지 확인하세요";
const char kNoOpener[] = "이 파일을 열 프로그램이 없습니다 — ‘파일 위치 보기’로 폴더를 열어 보세요";
const char kNoFileManager[] = "파일 관리자를 열 수 없습니다";

namespace {

struct GFree {
    void operator()(gchar* p) const noexcept { g_free(p); }
};
struct GUnref {
    void operator()(gpointer p) const noexcept { g_object_unref(p); }
};
using GString_ = std::unique_ptr<gchar, GFree>;

std::string uriOf(const std::string& path) {
    std::unique_ptr<GFile, GUnref> file(g_file_new_for_path(path.c_str()));
    GString_ uri(g_file_get_uri(file.get()));
    return uri ? uri.get() : "";
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Reports to `done` without ever letting an exception out into GLib.
void finish(const DesktopDone& done, std::optional<std::string> error) noexcept {
    try {
        if (done) done(std::move(error));
    } catch (...) {
        // The answer is lost; the page's request stays pending.
    }
}

struct Launch {
    DesktopDone done;
    std::string failure;  // the sentence when no program takes the item
};

void launchDefault(const std::string& uri, Launch launch) {
    g_app_info_launch_default_for_uri_async(
        uri.c_str(), nullptr, nullptr,
        [](GObject*, GAsyncResult* res, gpointer data) noexcept {
            std::unique_ptr<Launch> owned(static_cast<Launch*>(data));
            GError* err = nullptr;
            const bool ok = g_app_info_launch_default_for_uri_finish(res, &err);
            if (err) g_error_free(err);
            finish(owned->done, ok ? std::nullopt : std::optional<std::string>(owned->failure));
        },
        new Launch(std::move(launch)));
}

struct Reveal {
    std::string folderUri;  // opened when no file manager answers on the session bus
    GVariant* params;       // owned
    DesktopDone done;
    ~Reveal() {
        if (params) g_variant_unref(params);
    }
};

}  // namespace

void GioDesktop::open(const std::string& path, DesktopDone done) {
    if (!exists(path)) {
        finish(done, kNoSuchFile);
        return;
    }
    launchDefault(uriOf(path), Launch{std::move(done), kNoOpener});
}

void GioDesktop::reveal(const std::string& path, DesktopDone done) {
    if (!exists(path)) {
        finish(done, kNoSuchFile);
        return;
    }
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uriOf(path).c_str());
    auto* call = new Reveal{uriOf(parentOf(path)), g_variant_ref_sink(g_variant_new("(ass)", &uris, "")),
                            std::move(done)};

    g_bus_get(G_BUS_TYPE_SESSION, nullptr,
              [](GObject*, GAsyncResult* res, gpointer data) noexcept {
                  std::unique_ptr<Reveal> owned(static_cast<Reveal*>(data));
                  GError* err = nullptr;
                  GDBusConnection* bus = g_bus_get_finish(res, &err);
                  if (err) g_error_free(err);
                  if (!bus) {
                      launchDefault(owned->folderUri, Launch{std::move(owned->done), kNoFileManager});
                      return;
                  }
                  g_dbus_connection_call(
                      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                      "org.freedesktop.FileManager1", "ShowItems", owned->params, nullptr, G_DBUS_CALL_FLAGS_NONE,
                      5000, nullptr,
                      [](GObject* src, GAsyncResult* r, gpointer data) noexcept {
                          std::unique_ptr<Reveal> owned(static_cast<Reveal*>(data));
                          GError* e = nullptr;
                          GVariant* ok = g_dbus_connection_call_finish(G_DBUS_CONNECTION(src), r, &e);
                          if (e) g_error_free(e);
                          if (ok) {
                              g_variant_unref(ok);
                              finish(owned->done, std::nullopt);
                          } else {
                              launchDefault(owned->folderUri, Launch{std::move(owned->done), kNoFileManager});
                          }
                      },
                      owned.get());
                  // The call took its own reference to the parameters; the
                  // rest of the request travels on to the reply.
                  g_variant_unref(owned->params);
                  owned->params = nullptr;
                  owned.release();
                  g_object_unref(bus);
              },
              call);
}
