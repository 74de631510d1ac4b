// The repair engine's run: its command line, its output turned into the
// job's progress and log, its exit status into a JobError. The process
// itself is started and awaited by runChild (child_process.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/value.h"

class Job;

// Runs the engine on `rsv` with the reference `ref` (empty: without one, with
// the job's donor when it has one), writing `out`, and maps its progress
// and speed into the job's state; when the engine has ended, its
// lines go into the state as "log". A job cancelled meanwhile throws
// JobCancelled. Returns the engine log on exit status 0;
// throws JobError otherwise. Blocks until the engine has ended and its output
// has been read to the end.
//
// `inherit` hands the engine open descriptors ({here, in the engine}), so
// its paths can name files through them ("/proc/self/fd/3/NAME"), out of
// reach of any rename or link on the way to them; `rsvSize` is then the
// input's size (-1: read through `rsv`).
//
// `onWritten` is called, on the thread reading the engine's output, with the
// name of the engine's temporary output file once the engine says it has
// written every byte of it (it then flushes and checks it before it ends).
//
// `bound` (optional) may change or drop the progress keys of each update
// made from the engine's figures before it reaches the job (a copy the
// engine follows owns the bar meanwhile).
std::vector<std::string> runUntrunc(Job& job, const std::string& ref, const std::string& rsv, const std::string& out,
                                    const std::vector<std::pair<int, int>>& inherit = {}, int64_t rsvSize = -1,
                                    const std::function<void(const std::string&)>& onWritten = {},
                                    const std::function<void(Value&)>& bound = {});

// The Korean sentence for exit status N, then "(복구 엔진 종료 코드 N)". The
// engine's own lines are not part of it: they travel in the state's "log".
std::string exitMessage(int status);
