// The keyboard: Enter plays (a focused button takes its own Enter, and the
// status line's copies an error), Escape closes the question, the whole
// status text, the search, then the window, / searches, the arrow, page,
// Home and End keys move the choice through the list, and F or Space on the
// list makes the chosen server a favourite or no longer one.

// The card a page key leads to: one view height on from the chosen one.
function pageFrom(direction) {
  if (choice.pos < 0) return 0;
  const to = indexAt(view.offsets[choice.pos] + direction * view.height);
  return to === choice.pos ? choice.pos + direction : to;
}

function escapePressed() {
  if (!runControls.confirm.hidden) {
    closeConfirm();
  } else if (stateBox.classList.contains("long") && stateBox.matches(":hover, :focus-within")) {
    // Hover and focus bring it back.
    stateBox.classList.remove("long");
  } else if (searchField.value !== "") {
    searchField.value = "";
    viewChanged();
  } else {
    toHost.close();
  }
}

function favouriteChosen() {
  const entry = choice.pos < 0 ? undefined : view.shown[choice.pos];
  if (entry !== undefined) toggleFavourite(entry);
}

function wireKeys() {
  document.addEventListener("keydown", (event) => {
    if (event.defaultPrevented) return;
    const field = event.target;
    if (event.key === "Enter") {
      // Buttons and the limit take their own Enter.
      if (field instanceof HTMLButtonElement || field === runControls.speed) return;
      if (field === statusLine && statusLine.classList.contains("bad")) {
        event.preventDefault();
        copyStatus();
        return;
      }
      if (playButton.disabled) return;
      event.preventDefault();
      playButton.click();
      return;
    }
    if (event.key === "Escape") {
      escapePressed();
      return;
    }
    if (event.ctrlKey || event.altKey || event.metaKey) return;
    // The other fields keep their keys for editing; a list box keeps its arrows.
    if ((field instanceof HTMLInputElement && field !== searchField) || field instanceof HTMLSelectElement) return;
    const inSearch = field === searchField;
    const onList = field === listBox || field === document.body;
    let to;
    switch (event.key) {
      case "/":
        if (inSearch) return;
        event.preventDefault();
        searchField.focus();
        searchField.select();
        return;
      case "f":
      case "F":
      case " ":
        if (!onList || (event.key === " " && field !== listBox)) return;
        event.preventDefault();
        favouriteChosen();
        return;
      case "ArrowDown": to = choice.pos < 0 ? 0 : choice.pos + 1; break;
      case "ArrowUp": to = choice.pos < 0 ? 0 : choice.pos - 1; break;
      case "PageDown": to = pageFrom(1); break;
      case "PageUp": to = pageFrom(-1); break;
      case "Home": if (inSearch) return; to = 0; break;
      case "End": if (inSearch) return; to = view.shown.length - 1; break;
      default: return;
    }
    event.preventDefault();
    if (view.shown.length === 0) return;
    choose(Math.max(0, Math.min(view.shown.length - 1, to)));
  });
}
