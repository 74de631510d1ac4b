// The page's side of the native message channel.
//
// Requests go out through the WebKit script-message handler "bridge" as
// {cmd, call, args}; the native side answers each one exactly once through
// window.__resolve({call, data}) and pushes every job change through
// window.__progress(state). A request whose envelope is malformed is never
// answered, so "cmd" is always a string and "call" always a fresh safe integer.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.bridge = (function () {
  var pending = new Map();
  var nextCall = 1;
  var progressHandler = null;

  function channel() {
    var w = window.webkit;
    return w && w.messageHandlers && w.messageHandlers.bridge;
  }

  function available() {
    return !!channel();
  }

  // Resolves with the answer's "data". Rejects only when the message cannot
  // be posted at all (the page opened outside the application).
  function request(cmd, args) {
    var call = nextCall;
    nextCall = nextCall >= Number.MAX_SAFE_INTEGER ? 1 : nextCall + 1;
    return new Promise(function (resolve, reject) {
      var handler = channel();
      if (!handler) {
        reject(new Error('no bridge'));
        return;
      }
      pending.set(call, resolve);
      try {
        handler.postMessage({ cmd: String(cmd), call: call, args: args || {} });
      } catch (e) {
        pending.delete(call);
        reject(e);
      }
    });
  }

  function onProgress(fn) {
    progressHandler = fn;
  }

  // Called by the native side; results are ignored there, and a throw here
  // would only be swallowed, so unknown or late answers are dropped quietly.
  window.__resolve = function (envelope) {
    if (!envelope || typeof envelope !== 'object') return;
    var resolve = pending.get(envelope.call);
    if (!resolve) return;
    pending.delete(envelope.call);
    resolve(envelope.data);
  };

  window.__progress = function (state) {
    if (!state || typeof state !== 'object' || typeof state.id !== 'string') return;
    if (progressHandler) progressHandler(state);
  };

  return { request: request, onProgress: onProgress, available: available };
})();
