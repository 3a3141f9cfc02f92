// The run resources: queueing a run of a job and cancelling it (the daemon's API run queue and
// its running job), listing a job's past runs from its job log directory, and reading a run's
// log in chunks that never end inside a UTF-8 character of a log that goes on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <span>
#include <string_view>

#include "sched/api/json_writer.h"

namespace vrk {

inline constexpr size_t kApiRunsListed = 100;      // newest runs in a listing
inline constexpr size_t kApiLogChunkMax = 49152;   // bytes of log per chunk, and the default
inline constexpr size_t kApiLogDataLimit = 60928;  // escaped bytes of a chunk's "data"
inline constexpr size_t kApiRunIdLength = 16;      // "YYYYMMDDTHHMMSSZ"

// POST /jobs/<name>/run: queues a run of the job for the daemon (202), reporting an entry that
// is already queued; 404 unknown job, 403 command not allowed, 409 running, 503 queue full.
void api_queue_run(ApiCall& call, const char* name);

// POST /jobs/<name>/cancel: asks the running job to stop (202, once per run), or takes its
// queued run out of the queue (200); 409 "not_running" otherwise.
void api_cancel_job(ApiCall& call, const char* name);

// GET /jobs/<name>/runs: the 100 newest runs of the job, newest first, each with its footer.
void api_list_runs(ApiCall& call, const char* name);

// GET /jobs/<name>/runs/<run-id>/log?offset=&length=: one chunk of the run's log.
void api_read_log(ApiCall& call, const char* name, const char* run_id);

// query = [ part *( "&" part ) ], part = "" / name "=" 1*12DIGIT, name = "offset" / "length",
// each at most once. False for anything else; offset and length are kept when not given.
[[nodiscard]] bool api_log_query_parse(std::string_view query, int64_t& offset, int64_t& length);

// Whether id has the run-id form: 8 digits, "T", 6 digits, "Z".
bool api_run_id_valid(std::string_view id);

// The run id's time as UTC Unix seconds. Requires: api_run_id_valid(id).
int64_t api_run_id_time(std::string_view id);

// How many bytes of read (read at the chunk's offset; file_rest bytes of the file lie from
// there on, and bytes of read beyond them never count) make the chunk asked for with length: at
// most length, ended before a UTF-8 character that the chunk would cut, unless that end is the
// final end of a finished log. When the character at the offset is longer than length it is
// returned whole (so read must hold up to 4 bytes), and an invalid byte there goes alone, so a
// reader always moves on; only the incomplete last character of a log that is still being written
// gives 0.
size_t api_log_chunk_length(std::span<const unsigned char> read, size_t length, uint64_t file_rest,
                            bool finished);

}  // namespace vrk
