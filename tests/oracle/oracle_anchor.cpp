// Keeps the oracle library non-empty while its renderings are added.
