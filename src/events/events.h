// The run's events for programs: the machine form of the run's progress.
#pragma once

// With the "progress FILE" option every event of the run is appended to FILE as one JSON object
// on one line, written with one system call, so that several zelks may share a file:
//   {"time": "...Z", "device": ..., "run_id": ..., "label": ..., "event": "run_start"}
//   ... "event": "operation_start", "operation": "write"}
//   ... "event": "phase_start", "operation": "write", "phase": "verify", "total": 4096}
//   ... "event": "progress", "operation": "write", "phase": "write", "done": 1024,
//       "total": 4096, "rate": 398}                           (at most once a second)
//   ... "event": "phase_end", ..., "done": 4096, "total": 4096}
//   ... "event": "operation_end", "operation": "write", "result": "ok", "message": null,
//       "seconds": 12.345678}
//   ... "event": "run_end", "exit_status": 0}
// Rates are bytes per second over the time since the last progress event (or the phase start).

// Opens the file named by the option, appending (through create_file), and writes the run_start
// event. 1 when that is done or none is asked for; 0 after "Progress file [NAME] open error:
// ..." or "\nProgress file [NAME] write error: ..." on stderr. A later event that cannot be
// written is said so once; no more are written, and the run fails.
int events_open();
// An operation of the run begins, and ends with `result` ("ok", "failed", ...), its message
// (null: none) after `usec` microseconds. The end closes a phase left open at its last position.
void event_operation_start(const char *name);
void event_operation_end(const char *name, const char *result, const char *message, long long usec);
// The last event. 0 when it, or an event before it, could not be written. Async-signal-safe.
int event_run_end(int status);

// A transfer's phase of `total` bytes begins (`phase`: its name, null for the operation's
// name), has moved `done` bytes (an event at most once a second), and is complete.
void event_phase_start(long total, const char *phase);
void event_phase_progress(long done);
void event_phase_end();
