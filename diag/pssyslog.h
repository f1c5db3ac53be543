// One line to the system log that never waits for it.
#pragma once

#include <cstddef>

// The local log socket.
inline constexpr const char *PSLOG_DEV_LOG = "/dev/log";

// The line as the local log daemon reads it (RFC 3164): "<PRI>Mmm dd
// hh:mm:ss ident[pid]: text", PRI being facility | severity, the time the
// local time of now. Cut to fit buf (size bytes, size > 0); returns its length.
size_t psLogFormat(char *buf, size_t size, int facilityPriority, const char *ident, const char *text);

// Sends the line to the socket at path: a datagram, or for a stream listener
// one connection; never waits, neither to connect nor on a full queue.
// 0, or the errno of the step that dropped the line.
int psLogSendTo(const char *path, int facilityPriority, const char *ident, const char *text);

// Connects to PSLOG_DEV_LOG now and keeps the connection for the next
// psLogSend, for a process that may make no socket later: from this call on
// psLogSend never makes one. 0, or the errno of the step that failed (the
// next line is then dropped, as a line to a log that cannot be reached is);
// errno is left as it was.
int psLogHold();

// Sends the line on the connection psLogHold kept, closing it (ENOTCONN
// when there is none), or without psLogHold as psLogSendTo(PSLOG_DEV_LOG,
// ...); errno is left as it was.
int psLogSend(int facilityPriority, const char *ident, const char *text);
