// The History view: the versions this device kept of the list of the tab in view, newest first,
// each with when, what made the change that replaced it, and what that change added and removed;
// "Revert this change" takes that one change back from the list as it is now, "Restore this
// version" makes the list what it was then. Either is a change of its own, offered to undo. The
// window sends the versions with its trees while the view is open; the view is no part of them.

const LISTS = ['notes', 'tasks', 'tags'];
const TITLES = { notes: 'Notes', tasks: 'To-Do', tags: 'Tags' };
const CAUSES = {
  'edit': 'An edit in a window',
  'command line': 'The command line',
  'load': 'A load from the cloud',
  'merge': 'A merge with another device\'s edits',
  'restore': 'A restore',
  'undo': 'An undo',
  'revert': 'A revert',
};

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

function entries(texts, count) {
  const shown = texts.map((text) => `"${text}"`).join(', ');
  return count > texts.length ? `${shown} and ${count - texts.length} more` : shown;
}

// send(event) sends an event; tab() is the index of the tab in view.
export function historyView(send, tab) {
  const opener = element('button', 'history-open', 'History');
  opener.type = 'button';
  opener.setAttribute('aria-haspopup', 'dialog');
  const dialog = element('div', 'history');
  dialog.setAttribute('role', 'dialog');
  dialog.setAttribute('aria-modal', 'true');
  dialog.setAttribute('aria-labelledby', 'history-title');
  dialog.hidden = true;
  const head = element('div', 'history-head');
  const title = element('h2', '', 'History');
  title.id = 'history-title';
  title.tabIndex = -1;
  const close = element('button', 'history-close', 'Close');
  close.type = 'button';
  head.append(title, close);
  const list = element('ol', 'history-list');
  const empty = element('p', 'history-empty', 'No versions kept yet.');
  dialog.append(head, list, empty);
  document.body.append(opener, dialog);
  const main = document.getElementById('app');
  let shown = '';

  function open() {
    shown = LISTS[tab()] || 'notes';
    title.textContent = `History of ${TITLES[shown]}`;
    list.replaceChildren();
    empty.hidden = true;
    dialog.hidden = false;
    opener.hidden = true;
    main.inert = true;
    send({ type: 'history', list: shown });
    title.focus();
  }
  function hide() {
    if (dialog.hidden) return;
    dialog.hidden = true;
    opener.hidden = false;
    main.inert = false;
    shown = '';
    send({ type: 'history', list: '' });
    opener.focus();
  }
  opener.addEventListener('click', open);
  close.addEventListener('click', hide);
  dialog.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') hide();
  });

  function item(version) {
    const row = element('li', 'history-item');
    const when = new Date(version.time).toLocaleString();
    const cause = CAUSES[version.cause] || `Another process (${version.cause})`;
    const said = [];
    if (version.added) said.push(`added ${entries(version.firstAdded, version.added)}`);
    if (version.removed) said.push(`removed ${entries(version.firstRemoved, version.removed)}`);
    row.append(element('p', 'history-what', `${cause} ${said.length ? said.join('; ') : 'changed nothing shown'}.`),
      element('p', 'history-when', `${when} · version ${version.number} held ${version.entries} ${version.entries === 1 ? 'entry' : 'entries'}`));
    const actions = element('div', 'history-actions');
    for (const [label, type] of [['Revert this change', 'revert'], ['Restore this version', 'restore']]) {
      const button = element('button', '', label);
      button.type = 'button';
      button.addEventListener('click', () => send({ type, list: shown, offer: version.number }));
      actions.append(button);
    }
    row.append(actions);
    return row;
  }

  return {
    // The versions a tree brought ({list, versions}), or null.
    update(history) {
      if (dialog.hidden || !history || history.list !== shown) return;
      const focused = list.contains(document.activeElement)
        ? [...list.querySelectorAll('button')].indexOf(document.activeElement) : -1;
      list.replaceChildren(...history.versions.map(item));
      empty.hidden = history.versions.length > 0;
      if (focused >= 0) (list.querySelectorAll('button')[focused] || title).focus();
    },
  };
}
