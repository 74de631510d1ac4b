// Wiring: job states to their cards, the header buttons, the licence dialog,
// the screen-reader announcer, and the first scan on load.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

(function () {
  function $(id) { return document.getElementById(id); }

  // One polite live region for stage changes only; the progress bars carry
  // their value for whoever looks, without a stream of announcements.
  var announceTimer = null;
  Torvelin.announce = function (text) {
    var region = $('announcer');
    clearTimeout(announceTimer);
    region.textContent = '';
    // A short gap makes the same sentence twice in a row count as new.
    announceTimer = setTimeout(function () { region.textContent = text; }, 60);
  };

  Torvelin.bridge.onProgress(function (state) { Torvelin.jobs.update(state); });

  $('rescan').addEventListener('click', function () { Torvelin.scan.run(); });

  var dialog = $('license-dialog');
  var licenceText = null;
  var opener = null;

  $('licenses').addEventListener('click', function (event) {
    opener = event.currentTarget;
    var pre = $('license-text');
    if (licenceText === null) {
      pre.textContent = '불러오는 중…';
      Torvelin.bridge.request('licenses').then(function (data) {
        licenceText = data && typeof data.text === 'string' ? data.text : '라이선스 내용을 읽지 못했습니다.';
        pre.textContent = licenceText;
      }, function () {
        pre.textContent = '앱과 연결되어 있지 않아 라이선스를 불러올 수 없습니다.';
      });
    }
    if (!dialog.open) dialog.showModal();
    $('license-close').focus();
  });

  $('license-close').addEventListener('click', function () { dialog.close(); });
  dialog.addEventListener('close', function () {
    if (opener) opener.focus();
  });
  // A click on the backdrop (outside the dialog's box) closes it too.
  dialog.addEventListener('click', function (event) {
    if (event.target !== dialog) return;
    var r = dialog.getBoundingClientRect();
    var inside = event.clientX >= r.left && event.clientX <= r.right && event.clientY >= r.top && event.clientY <= r.bottom;
    if (!inside) dialog.close();
  });

  Torvelin.scan.run();
})();
