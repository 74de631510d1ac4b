// Requests the list and the job cards share: opening or revealing a file,
// copying text to the clipboard, and a confirmation asked in place. Each
// reports into a box next to the button that asked (the desktop itself may
// show nothing at all) and clears that box when it asks again, so an old
// message never outlives the attempt it belongs to.
'use strict';

var Torvelin = window.Torvelin || (window.Torvelin = {});

Torvelin.actions = (function () {
  var el = Torvelin.fmt.el;

  function failed(box, message) {
    box.replaceChildren(el('span', { class: 'refusal-message' }, message));
  }

  // Puts `text` on the clipboard through the native side. When that fails
  // the text itself is shown, selected, for the user to copy by hand.
  function copy(text, box, done) {
    box.replaceChildren();
    function fallback() {
      var area = el('textarea', { class: 'copy-fallback', readonly: true, rows: String(Math.min(8, text.split('\n').length)), 'aria-label': '복사할 내용' });
      area.value = text;
      box.replaceChildren(el('span', { class: 'refusal-hint' }, '클립보드에 넣지 못했습니다. 아래 내용을 선택해 직접 복사하세요.'), area);
      area.focus();
      area.select();
    }
    Torvelin.bridge.request('copy', { text: String(text) }).then(function (data) {
      if (data && typeof data.error === 'string') fallback();
      else box.replaceChildren(el('span', { class: 'done-message' }, done || '복사했습니다.'));
    }, fallback);
  }

  // Asks the desktop to open or reveal a file. Where the file manager cannot
  // be opened, the path is offered instead, with a button to copy it.
  function open(path, reveal, box) {
    box.replaceChildren();
    function offerPath(message) {
      failed(box, message);
      var copyBox = el('span', { class: 'copy-result' });
      var button = el('button', { type: 'button', class: 'btn btn-small' }, '경로 복사');
      button.addEventListener('click', function () { copy(String(path), copyBox, '경로를 복사했습니다.'); });
      box.appendChild(el('span', { class: 'offered-path' }, el('span', { class: 'path' }, String(path)), button, copyBox));
    }
    Torvelin.bridge.request('open', { path: String(path || ''), reveal: !!reveal }).then(function (data) {
      if (data && typeof data.error === 'string' && data.error) offerPath(data.error);
    }, function () {
      offerPath('앱과 연결되어 있지 않아 열 수 없습니다.');
    });
  }

  // Shows `question` with a confirming and a cancelling button in `box`;
  // `onYes` runs only after the user confirmed.
  function confirm(box, question, yesLabel, onYes) {
    var yes = el('button', { type: 'button', class: 'btn btn-danger' }, yesLabel);
    var no = el('button', { type: 'button', class: 'btn' }, '그만두기');
    yes.addEventListener('click', function () { box.replaceChildren(); onYes(); });
    no.addEventListener('click', function () { box.replaceChildren(); });
    box.replaceChildren(el('span', { class: 'confirm-question' }, question), el('span', { class: 'confirm-buttons' }, yes, no));
    no.focus();
  }

  return { copy: copy, open: open, confirm: confirm, failed: failed };
})();
