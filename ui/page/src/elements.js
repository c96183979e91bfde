// The page's elements that the script reads or changes, looked up once.
const listBox = document.getElementById("list");
const rowsBox = document.getElementById("rows");
const countText = document.getElementById("count");
const addrField = document.getElementById("addr");
const nameField = document.getElementById("who");
const searchField = document.getElementById("search");
const sortPick = document.getElementById("sort");
const tagPick = document.getElementById("tag");
const hideFullChip = document.getElementById("hide-full");
const hideEmptyChip = document.getElementById("hide-empty");
const verifiedChip = document.getElementById("verified-only");
const stateBox = document.querySelector(".state");
const statusLine = document.getElementById("status");
const wholeBox = document.getElementById("whole");
const wholeText = document.getElementById("whole-text");
const wholeLog = document.getElementById("whole-log");
const wholeHint = document.getElementById("whole-hint");
const buildText = document.getElementById("build");
const progressTrack = document.getElementById("progress");
const progressBar = document.getElementById("bar");
const percentText = document.getElementById("percent");
const playButton = document.getElementById("play");
const viewTabs = { all: document.getElementById("view-all"),
                   favourites: document.getElementById("view-favourites"),
                   recent: document.getElementById("view-recent") };
