// Bounds the page shares with the host.
const RECENT_LIMIT = 10;
