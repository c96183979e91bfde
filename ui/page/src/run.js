// The update's controls: Pause and Resume while files download, Retry after
// a failed run, Repair (with a confirmation, since it reads every file) and
// the download limit.

const runControls = {
  pause: document.getElementById("pause"),
  retry: document.getElementById("retry"),
  repair: document.getElementById("repair"),
  speed: document.getElementById("speed"),
  confirm: document.getElementById("confirm"),
  yes: document.getElementById("confirm-yes"),
  no: document.getElementById("confirm-no"),
  state: "done",
};

// A control that goes away or off under the focus hands it to the next of
// the update's controls still there, so the keyboard is not sent back to
// the top of the page.
function keepingFocus(change) {
  const before = document.activeElement;
  const inside = before instanceof Element && before.closest(".run, #confirm") !== null;
  change();
  if (!inside) return;
  const gone = (control) => control.disabled || control.closest("[hidden]") !== null;
  if (document.activeElement === before && !gone(before)) return;
  const { pause, retry, repair, speed } = runControls;
  [pause, retry, repair, speed].find((control) => !gone(control)).focus();
}

function showRun(message) {
  const state = ["running", "paused", "failed", "done"].includes(message.state) ? message.state : "done";
  keepingFocus(() => {
    runControls.state = state;
    const pause = runControls.pause;
    pause.hidden = state !== "running" && state !== "paused";
    pause.textContent = state === "paused" ? t("Resume") : t("Pause");
    pause.title = state === "paused" ? t("Resume the download") : t("Pause the download");
    runControls.retry.hidden = state !== "failed";
    runControls.repair.disabled = state === "running";
    if (state === "running") runControls.confirm.hidden = true;
  });
}

function openConfirm() {
  runControls.confirm.hidden = false;
  runControls.yes.focus();
}

// Either answer, Escape included, gives the focus back to Repair.
function closeConfirm() {
  runControls.confirm.hidden = true;
  if (!runControls.repair.disabled) runControls.repair.focus();
}

function showSpeed(message) {
  const value = Number(message.value);
  if (Number.isInteger(value) && value >= 0 && document.activeElement !== runControls.speed) {
    runControls.speed.value = String(value);
  }
}

// A limit the player typed: whole KiB/s, 0 for none; anything else is put back.
function sendSpeed() {
  const text = runControls.speed.value.trim();
  const value = Number(text === "" ? "0" : text);
  if (!Number.isInteger(value) || value < 0 || value > 9999999) {
    runControls.speed.value = runControls.speed.dataset.sent ?? "0";
    return;
  }
  if (runControls.speed.dataset.sent === String(value)) return;
  runControls.speed.dataset.sent = String(value);
  toHost.speed(value);
}

function wireRun() {
  runControls.pause.addEventListener("click", () => {
    if (runControls.state === "paused") toHost.resume();
    else toHost.pause();
  });
  runControls.retry.addEventListener("click", () => {
    keepingFocus(() => { runControls.retry.hidden = true; });
    toHost.retry();
  });
  runControls.repair.addEventListener("click", openConfirm);
  runControls.no.addEventListener("click", closeConfirm);
  runControls.yes.addEventListener("click", () => {
    closeConfirm();
    toHost.repair();
  });
  // The question holds the focus until it is answered.
  runControls.confirm.addEventListener("keydown", (event) => {
    if (event.key !== "Tab") return;
    event.preventDefault();
    (document.activeElement === runControls.yes ? runControls.no : runControls.yes).focus();
  });
  runControls.speed.addEventListener("change", sendSpeed);
  runControls.speed.addEventListener("keydown", (event) => {
    if (event.key === "Enter") sendSpeed();
  });
}
