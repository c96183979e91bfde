// Starts the page: its texts in the player's language, then every listener
// in place, then the host hears that the page is ready. The window's own
// buttons need nothing else.

translatePage();
wireList();
wirePlay();
wireRefresh();
document.getElementById("close").addEventListener("click", toHost.close);
document.getElementById("min").addEventListener("click", toHost.minimise);
wireFilters();
wireKeys();
wireStatus();
wireRun();
listenToHost();

// Last, so that whatever the host answers finds every listener in place.
toHost.ready();
