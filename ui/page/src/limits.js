// Bounds the page shares with the host. build-page.mjs puts in the value of
// each named constant from the C++ header, so the two cannot differ; only
// this file may ask for one (CMake reads the headers' names from it).
const RECENT_LIMIT = fromHeader("ui/player_state.h", "kMaxRecent");
