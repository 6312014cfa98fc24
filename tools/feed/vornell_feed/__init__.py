"""vornell-feed: turns a client folder into the static feed the launcher reads."""
