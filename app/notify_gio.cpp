#include "app/notify_gio.h"

#include <gio/gio.h>

void notifyDesktop(const std::string& summary, const std::string& body) {
    GVariant* params = g_variant_new("(susssasa{sv}i)", "TORVELIN RECOVERY", 0u, "torvelin-recovery", summary.c_str(),
                                     body.c_str(), nullptr, nullptr, -1);
    g_variant_ref_sink(params);
    g_bus_get(G_BUS_TYPE_SESSION, nullptr,
              [](GObject*, GAsyncResult* res, gpointer data) noexcept {
                  auto* params = static_cast<GVariant*>(data);
                  GError* err = nullptr;
                  GDBusConnection* bus = g_bus_get_finish(res, &err);
                  if (err) g_error_free(err);
                  if (bus) {
                      g_dbus_connection_call(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", "Notify", params, nullptr,
                                             G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr, nullptr);
                      g_object_unref(bus);
                  }
                  g_variant_unref(params);
              },
              params);
}
