// The keyboard: Enter plays (or copies an error from the status line, or
// belongs to the update's controls),
// Escape clears the search or closes, / searches, and the arrow, page, Home
// and End keys move the choice through the list.

// The card a page key leads to: one view height on from the chosen one.
function pageFrom(direction) {
  if (choice.pos < 0) return 0;
  const to = indexAt(view.offsets[choice.pos] + direction * view.height);
  return to === choice.pos ? choice.pos + direction : to;
}

function wireKeys() {
  document.addEventListener("keydown", (event) => {
    const field = event.target;
    if (event.key === "Enter") {
      // The update's controls and the limit take their own Enter.
      if (field instanceof Element && field.closest(".run, #confirm") !== null) return;
      if (field === statusLine && statusLine.classList.contains("bad")) {
        event.preventDefault();
        copyStatus();
        return;
      }
      if (playButton.disabled) return;
      // A focused button would otherwise take the same Enter: two "play" posts.
      event.preventDefault();
      playButton.click();
      return;
    }
    if (event.key === "Escape") {
      if (searchField.value !== "") {
        searchField.value = "";
        viewChanged();
      } else {
        toHost.close();
      }
      return;
    }
    if (event.ctrlKey || event.altKey || event.metaKey) return;
    // The other fields keep their keys for editing; a list box keeps its arrows.
    if (field === addrField || field === nameField || field instanceof HTMLSelectElement) return;
    const inSearch = field === searchField;
    let to;
    switch (event.key) {
      case "/":
        if (inSearch) return;
        event.preventDefault();
        searchField.focus();
        searchField.select();
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
