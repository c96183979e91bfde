// What Play joins and whether it may: the chosen card or a typed address,
// and the player's name.

function parseDirect(text) {
  const trimmed = escape(text).trim();
  if (trimmed === "") return null;
  const match = /^\[([0-9a-fA-F:]+)\](?::(\d{1,5}))?$/.exec(trimmed) ||
                /^([A-Za-z0-9._-]+)(?::(\d{1,5}))?$/.exec(trimmed);
  if (match === null) return null;
  return { host: match[1], port: match[2] === undefined ? 27015 : Number(match[2]) };
}

function target() {
  return parseDirect(addrField.value) ?? choice.server;
}

function updatePlay() {
  playButton.disabled = launcher.busy || target() === null || nameField.value.trim() === "";
}

function showName(message) {
  const value = escape(message.value);
  // maxlength limits typing only, so a longer saved name is still shown whole.
  if (value !== "" && nameField.value === "") nameField.value = value;
  updatePlay();
}

function wirePlay() {
  playButton.addEventListener("click", () => {
    const server = target();
    if (server === null) return;
    toHost.play(server.host, server.port, nameField.value.trim());
  });

  document.getElementById("connect").addEventListener("click", () => {
    choice.server = null;
    markChosen();
    updatePlay();
    playButton.click();
  });

  addrField.addEventListener("input", () => {
    if (addrField.value.trim() !== "") {
      choice.server = null;
      choice.pos = -1;
      markChosen();
    }
    updatePlay();
  });

  nameField.addEventListener("input", () => {
    toHost.name(nameField.value.trim());
    updatePlay();
  });
}
