#include "bridge/queues.h"

#include <glib.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

std::atomic<int64_t> g_background{0};

// One GSource drains a locked FIFO, so items run strictly in posting order
// (separate idle sources promise no such order) and at default priority (idle
// priority could starve behind redraws).
std::mutex g_lock;
std::deque<Work> g_items;
std::once_flag g_queueOnce;

bool hasItems() {
    std::lock_guard<std::mutex> hold(g_lock);
    return !g_items.empty();
}

gboolean queuePrepare(GSource*, gint* timeout) noexcept {
    *timeout = -1;
    return hasItems();
}

gboolean queueCheck(GSource*) noexcept { return hasItems(); }

void runGuarded(Work& work) noexcept {
    try {
        work();
    } catch (...) {
        // A failed item must not take the event loop with it.
    }
}

gboolean queueDispatch(GSource*, GSourceFunc, gpointer) noexcept {
    // Only what was queued when this turn began runs now; items posted by these
    // items wait for the next turn, as a deferred post promises.
    std::deque<Work> batch;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        batch.swap(g_items);
    }
    while (!batch.empty()) {
        Work work = std::move(batch.front());
        batch.pop_front();
        runGuarded(work);
    }
    return G_SOURCE_CONTINUE;
}

GSourceFuncs g_queueFuncs = {queuePrepare, queueCheck, queueDispatch, nullptr, nullptr, nullptr};

void attachMainQueue() {
    std::call_once(g_queueOnce, [] {
        GSource* s = g_source_new(&g_queueFuncs, sizeof(GSource));
        g_source_set_priority(s, G_PRIORITY_DEFAULT);
        g_source_attach(s, g_main_context_default());
        g_source_unref(s);  // the context keeps it for the life of the process
    });
}

// Pending main items, counted so the headless front end knows when all is said.
std::atomic<int64_t> g_mainPending{0};

}  // namespace

void postMain(Work work) {
    attachMainQueue();
    g_mainPending.fetch_add(1);
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_items.push_back([w = std::move(work)]() mutable {
            runGuarded(w);
            g_mainPending.fetch_sub(1);
        });
    }
    g_main_context_wakeup(g_main_context_default());
}

void postMainAfter(std::chrono::milliseconds delay, Work work) {
    // The timeout source owns the item and frees it through its destroy notify.
    Work* boxed = std::make_unique<Work>(std::move(work)).release();
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()),
        [](gpointer data) noexcept -> gboolean {
            runGuarded(*static_cast<Work*>(data));
            return G_SOURCE_REMOVE;
        },
        boxed, [](gpointer data) noexcept { delete static_cast<Work*>(data); });
}

void runInBackground(Work work) {
    g_background.fetch_add(1);
    std::thread([w = std::move(work)]() mutable {
        runGuarded(w);
        w = nullptr;  // release captures before the item counts as finished
        g_background.fetch_sub(1);
    }).detach();
}

int64_t pendingWork() { return g_background.load() + g_mainPending.load(); }

bool runMainLoopUntil(const std::function<bool()>& done, int timeoutMs) {
    attachMainQueue();
    const gint64 end = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
    while (!done()) {
        if (g_get_monotonic_time() > end) return done();
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    }
    return true;
}
