// The footer: the status line with its whole text and the copy of an
// error, the progress bar, and the build.

// The whole text is offered when the line cannot hold it, and always for an
// error, which a player may want to copy into a report.
function judgeStatus() {
  const bad = statusLine.classList.contains("bad");
  const long = statusLine.textContent !== "" && (bad || statusLine.scrollWidth > statusLine.clientWidth);
  stateBox.classList.toggle("long", long);
}

function copyText(text) {
  let copied = false;
  const fill = (event) => {
    event.clipboardData.setData("text/plain", text);
    event.preventDefault();
    copied = true;
  };
  document.addEventListener("copy", fill);
  try {
    document.execCommand("copy");
  } finally {
    document.removeEventListener("copy", fill);
  }
  return copied;
}

function copyStatus() {
  const text = statusLine.textContent + (launcher.logPath === "" ? "" : "\n" + tf("Log: %s", launcher.logPath));
  const done = launcher.logPath === "" ? t("Copied the message") : t("Copied the message and the log's location");
  const failed = t("Could not copy: select the text above instead");
  if (copyText(text)) {
    note(done);
  } else if (navigator.clipboard !== undefined) {
    // Where the copy command is refused, the asynchronous clipboard may still take it.
    navigator.clipboard.writeText(text).then(() => note(done), () => note(failed));
  } else {
    note(failed);
  }
}

// A short note in the build's place, which comes back after it. The note is
// read out; the build coming back is not.
function note(text) {
  clearTimeout(deferred.noteTimer);
  buildText.setAttribute("aria-live", "polite");
  buildText.textContent = text;
  buildText.classList.add("note");
  deferred.noteTimer = setTimeout(() => {
    buildText.setAttribute("aria-live", "off");
    buildText.textContent = launcher.build;
    buildText.classList.remove("note");
  }, 2500);
}

function fillWhole() {
  const bad = statusLine.classList.contains("bad");
  wholeText.textContent = statusLine.textContent;
  wholeBox.classList.toggle("bad", bad);
  wholeLog.textContent = bad && launcher.logPath !== "" ? tf("Log: %s", launcher.logPath) : "";
  wholeHint.textContent = !bad ? "" : launcher.logPath === "" ? t("Click the status line, or press Enter on it, to copy the message.")
    : t("Click the status line, or press Enter on it, to copy the message and the log's location.");
  if (stateBox.matches(":hover, :focus-within")) judgeStatus();
}

function showStatus(message) {
  const text = escape(message.text);
  const bad = message.bad === true;
  // A failure interrupts whatever is being read out; the rest waits its turn.
  statusLine.setAttribute("aria-live", bad ? "assertive" : "polite");
  statusLine.textContent = text;
  statusLine.classList.toggle("bad", bad);
  statusLine.classList.toggle("good", !bad && message.good === true);
  fillWhole();
  if (typeof message.percent === "number" && message.percent >= 0) {
    const percent = Math.min(message.percent, 100);
    progressTrack.hidden = false;
    progressBar.style.width = percent + "%";
    const shown = Math.floor(percent);
    const words = tf("%d%%", shown);
    if (progressTrack.getAttribute("aria-valuenow") !== String(shown) || percentText.textContent !== words) {
      progressTrack.setAttribute("aria-valuenow", String(shown));
      progressTrack.setAttribute("aria-valuetext", words);
      percentText.textContent = words;
    }
  } else {
    progressTrack.hidden = true;
  }
  // Only the update's own messages carry "busy"; the others are only text.
  if (typeof message.busy === "boolean") {
    launcher.busy = message.busy;
    updatePlay();
  }
}

function showRelease(message) {
  launcher.build = escape(message.build);
  if (!buildText.classList.contains("note")) buildText.textContent = launcher.build;
}

function showLog(message) {
  launcher.logPath = escape(message.path);
  fillWhole();
}

function wireStatus() {
  stateBox.addEventListener("pointerenter", judgeStatus);
  stateBox.addEventListener("focusin", judgeStatus);
  statusLine.addEventListener("click", () => {
    if (statusLine.classList.contains("bad")) copyStatus();
  });
}
