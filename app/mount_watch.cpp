#include "app/mount_watch.h"

#include <gio/gio.h>

namespace {

// A card's mount arrives as several events (mount, folder, permissions).
constexpr guint kSettleMs = 700;

}  // namespace

struct MountWatch::State {
    std::function<void()> changed;
    GVolumeMonitor* volumes = nullptr;
    GFileMonitor* folder = nullptr;
    guint timer = 0;

    void poke() {
        if (timer) g_source_remove(timer);
        timer = g_timeout_add(kSettleMs, &State::fire, this);
    }

    static gboolean fire(gpointer self) noexcept {
        auto* s = static_cast<State*>(self);
        s->timer = 0;
        try {
            if (s->changed) s->changed();
        } catch (...) {
            // The page misses one rescan; the next change brings it.
        }
        return G_SOURCE_REMOVE;
    }

    static void onMount(GVolumeMonitor*, GMount*, gpointer self) noexcept { static_cast<State*>(self)->poke(); }

    static void onFolder(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self) noexcept {
        switch (event) {
        case G_FILE_MONITOR_EVENT_CREATED:
        case G_FILE_MONITOR_EVENT_DELETED:
        case G_FILE_MONITOR_EVENT_MOVED_IN:
        case G_FILE_MONITOR_EVENT_MOVED_OUT:
        case G_FILE_MONITOR_EVENT_RENAMED:
        case G_FILE_MONITOR_EVENT_UNMOUNTED:
            static_cast<State*>(self)->poke();
            break;
        default:
            break;  // writes inside a volume are no new volume
        }
    }
};

MountWatch::MountWatch(const std::string& mountDir, bool desktopMounts, std::function<void()> changed)
    : state_(new State) {
    state_->changed = std::move(changed);
    if (desktopMounts) {
        state_->volumes = g_volume_monitor_get();
        g_signal_connect(state_->volumes, "mount-added", G_CALLBACK(&State::onMount), state_.get());
        g_signal_connect(state_->volumes, "mount-removed", G_CALLBACK(&State::onMount), state_.get());
    }
    if (!mountDir.empty()) {
        GFile* dir = g_file_new_for_path(mountDir.c_str());
        state_->folder = g_file_monitor_directory(dir, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
        g_object_unref(dir);
        if (state_->folder) g_signal_connect(state_->folder, "changed", G_CALLBACK(&State::onFolder), state_.get());
    }
}

MountWatch::~MountWatch() {
    if (state_->timer) g_source_remove(state_->timer);
    if (state_->folder) {
        g_signal_handlers_disconnect_by_data(state_->folder, state_.get());
        g_file_monitor_cancel(state_->folder);
        g_object_unref(state_->folder);
    }
    if (state_->volumes) {
        g_signal_handlers_disconnect_by_data(state_->volumes, state_.get());
        g_object_unref(state_->volumes);
    }
}
