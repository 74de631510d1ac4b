#include "app/desktop_gio.h"

#include <gio/gio.h>

#include <memory>

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

void launchDefault(const std::string& uri) {
    g_app_info_launch_default_for_uri_async(
        uri.c_str(), nullptr, nullptr,
        [](GObject*, GAsyncResult* res, gpointer) noexcept {
            GError* err = nullptr;
            g_app_info_launch_default_for_uri_finish(res, &err);
            if (err) g_error_free(err);  // nothing to tell: the answer was already "ok"
        },
        nullptr);
}

}  // namespace

void GioDesktop::open(const std::string& path) { launchDefault(uriOf(path)); }

void GioDesktop::reveal(const std::string& path) {
    // The folder to open when no file manager answers on the session bus.
    auto* fallback = g_strdup(uriOf(parentOf(path)).c_str());
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uriOf(path).c_str());
    GVariant* params = g_variant_new("(ass)", &uris, "");

    g_bus_get(G_BUS_TYPE_SESSION, nullptr,
              [](GObject*, GAsyncResult* res, gpointer data) noexcept {
                  // data: the fallback URI; params travel in a pair with it below.
                  auto* pair = static_cast<std::pair<gchar*, GVariant*>*>(data);
                  std::unique_ptr<std::pair<gchar*, GVariant*>> owned(pair);
                  GError* err = nullptr;
                  GDBusConnection* bus = g_bus_get_finish(res, &err);
                  if (!bus) {
                      if (err) g_error_free(err);
                      launchDefault(pair->first);
                      g_free(pair->first);
                      g_variant_unref(pair->second);
                      return;
                  }
                  g_dbus_connection_call(
                      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                      "org.freedesktop.FileManager1", "ShowItems", pair->second, nullptr,
                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                      [](GObject* src, GAsyncResult* r, gpointer fb) noexcept {
                          GError* e = nullptr;
                          GVariant* ok = g_dbus_connection_call_finish(G_DBUS_CONNECTION(src), r, &e);
                          if (ok) {
                              g_variant_unref(ok);
                          } else {
                              if (e) g_error_free(e);
                              launchDefault(static_cast<gchar*>(fb));
                          }
                          g_free(fb);
                      },
                      pair->first);
                  g_variant_unref(pair->second);  // the call took its own reference
                  g_object_unref(bus);
              },
              std::make_unique<std::pair<gchar*, GVariant*>>(fallback, g_variant_ref_sink(params)).release());
}
