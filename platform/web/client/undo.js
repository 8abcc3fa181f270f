// The offer to undo: after a change made in this window (an add, a delete, a toggle), a line above
// the tab bar says what changed, with an Undo button, for about eight seconds (and for as long as
// the focus stays on it). Undo, or Ctrl/Cmd+Z while no text field has the focus, asks the window
// to take that change back; the window then offers the change before it. Screen readers hear the
// line (a polite live region). The time runs on the page's timers, which tests can drive.

const SHOWN_MS = 8000;

// The window's offer comes with each tree ({id, text} or null); send(event) sends an event.
export function undoOffer(send) {
  const bar = document.createElement('div');
  bar.className = 'undo-offer';
  bar.hidden = true;
  // A live region of its own, beside the page's status line, which stays the one status.
  const line = document.createElement('span');
  line.setAttribute('aria-live', 'polite');
  line.setAttribute('aria-atomic', 'true');
  const button = document.createElement('button');
  button.type = 'button';
  button.textContent = 'Undo';
  bar.append(line, button);
  document.body.append(bar);

  let shown = null;  // {key, id}: the offer on screen
  let timer = 0;

  function hide() {
    clearTimeout(timer);
    bar.hidden = true;
    button.hidden = false;
    shown = null;
  }

  // Hides the line once its time is up, unless the focus is on it: then when the focus leaves.
  function arm() {
    clearTimeout(timer);
    timer = setTimeout(() => {
      if (bar.contains(document.activeElement)) return;
      hide();
    }, SHOWN_MS);
  }
  bar.addEventListener('focusout', (event) => {
    if (!bar.hidden && !bar.contains(event.relatedTarget)) arm();
  });

  function undo() {
    if (!shown || button.hidden) return;
    send({ type: 'undo', offer: shown.id });
    line.textContent = 'Undone.';
    button.hidden = true;
    arm();
  }
  button.addEventListener('click', undo);

  document.addEventListener('keydown', (event) => {
    if (event.key.toLowerCase() !== 'z' || event.shiftKey || event.altKey || !(event.ctrlKey || event.metaKey)) return;
    const target = event.target;
    // A field keeps its own undo.
    if (target instanceof HTMLElement && (target.isContentEditable || target.matches('input, textarea, select'))) return;
    if (bar.hidden || button.hidden) return;
    event.preventDefault();
    undo();
  });

  return {
    // The offer a tree brought, for window: a new one is shown, a gone one hidden.
    update(window, offer) {
      const key = offer ? `${window}/${offer.id}` : null;
      if (shown && key === shown.key) return;
      if (!offer) {
        if (shown && !button.hidden) hide();
        return;
      }
      shown = { key, id: offer.id };
      line.textContent = String(offer.text);
      button.hidden = false;
      bar.hidden = false;
      arm();
    },
  };
}
