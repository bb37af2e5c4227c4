// A syslog line written without the C library's syslog: for the signal
// handler, where syslog(3) (locks, allocation, stdio) must not run.
#pragma once

// Call once from normal context before the handler can run: fixes the
// identity and the local time offset that the line carries.
void raw_syslog_prepare();

// From now on every line also goes to standard error (--foreground).
void raw_syslog_mirror_to_stderr();

// Formats "<PRI>Mmm dd hh:mm:ss ident: text" into a stack buffer and sends
// it to /dev/log as one datagram, unless the mask chosen on the command
// line drops the priority. Async-signal-safe; errno is preserved.
void raw_syslog(int priority, const char* text);

// The pieces, exposed for tests. Each appends to buf at pos (bounded by
// cap) and returns the new position.
int raw_append_text(char* buf, int pos, int cap, const char* text);
int raw_append_number(char* buf, int pos, int cap, long value, int width, char pad);
// "Mmm dd hh:mm:ss " for seconds since the epoch (already local).
int raw_append_timestamp(char* buf, int pos, int cap, long long local_seconds);
