// The update's controls: Pause and Resume while files download, Retry after
// a failed run, Repair (with a confirmation, since it reads every file) and
// the download limit.

const runControls = {
  pause: document.getElementById("pause"),
  retry: document.getElementById("retry"),
  repair: document.getElementById("repair"),
  speed: document.getElementById("speed"),
  confirm: document.getElementById("confirm"),
  state: "done",
};

function showRun(message) {
  const state = ["running", "paused", "failed", "done"].includes(message.state) ? message.state : "done";
  runControls.state = state;
  runControls.pause.hidden = state !== "running" && state !== "paused";
  runControls.pause.textContent = state === "paused" ? "Resume" : "Pause";
  runControls.retry.hidden = state !== "failed";
  runControls.repair.disabled = state === "running";
  if (state === "running") runControls.confirm.hidden = true;
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
    runControls.retry.hidden = true;
    toHost.retry();
  });
  runControls.repair.addEventListener("click", () => {
    runControls.confirm.hidden = false;
    document.getElementById("confirm-yes").focus();
  });
  document.getElementById("confirm-no").addEventListener("click", () => {
    runControls.confirm.hidden = true;
  });
  document.getElementById("confirm-yes").addEventListener("click", () => {
    runControls.confirm.hidden = true;
    toHost.repair();
  });
  runControls.speed.addEventListener("change", sendSpeed);
  runControls.speed.addEventListener("keydown", (event) => {
    if (event.key === "Enter") sendSpeed();
  });
}
