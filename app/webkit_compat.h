// Differences between WebKitGTK releases, gathered here so the window code
// reads the same on every supported version. GTK 3 with the 4.1 API only.
// Every function here is for the main thread.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <optional>
#include <string>

namespace webkit_compat {

// In the 4.1 API the script-message signal hands a WebKitJavascriptResult;
// the 6.0 API hands the JSCValue itself.
using ScriptMessage = WebKitJavascriptResult;

// The message body as JSON text. The value lives only as long as the signal
// emission, so it is turned into text at once. Nothing when the body cannot
// be written as JSON (undefined, a function, a cycle).
inline std::optional<std::string> messageJson(ScriptMessage* message) {
    JSCValue* value = webkit_javascript_result_get_js_value(message);
    if (!value) return std::nullopt;
    std::unique_ptr<char, decltype(&g_free)> json(jsc_value_to_json(value, 0), &g_free);
    // A failed conversion leaves an exception in the context; clear it so it
    // is not reported against the page's next script.
    if (JSCContext* context = jsc_value_get_context(value)) jsc_context_clear_exception(context);
    if (!json) return std::nullopt;
    return std::string(json.get());
}

// Evaluates `script` in the main frame, ignoring its result and errors.
inline void evaluate(WebKitWebView* view, const std::string& script) {
#if WEBKIT_CHECK_VERSION(2, 40, 0)
    webkit_web_view_evaluate_javascript(view, script.data(), static_cast<gssize>(script.size()), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
#else
    webkit_web_view_run_javascript(view, script.c_str(), nullptr, nullptr, nullptr);
#endif
}

// A context that keeps every website data item (cache, storage, cookies) in
// memory, so nothing is written under the user's home folder. Full reference.
inline WebKitWebContext* newEphemeralContext() { return webkit_web_context_new_ephemeral(); }

}  // namespace webkit_compat
