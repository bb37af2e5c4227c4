// Replaced by the session-service library.
