// The console edition's checks around a job: the files named on the command line are looked at
// before the job starts, so that a missing input, an output that would replace a file or the
// input itself, a folder that does not exist or a machines.ini that cannot serve the target end
// with one line that names the file and the reason. After a failed job, its failure is told in
// such a line too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/log.h"
#include "settings/settings.h"

// "" when `input` can be converted as far as the console can tell; else the line's reason.
std::string check_input(const Settings& settings, const std::string& input);
// Standard input as the one input: its first bytes (`head`, at most probe_bytes) are judged before
// anything is spooled: "" when they may begin an input, else the reason (a Buzz song, which is
// listed by name; bytes no known kind begins with, such as those of /dev/zero).
std::string check_input_head(const uint8_t* head, size_t n);
// Writes `head` and the rest of `in` to `out` (flushed; named `out_name` in a reason): "" or why
// not. More than `limit` bytes in all are refused: the stream is read no further.
std::string spool_input(FILE* in, const uint8_t* head, size_t n, FILE* out, const std::string& out_name,
                        uint64_t limit);
// "" when the conversion's `output` may be written: its folder exists, it is not a directory,
// nothing but a regular file (a FIFO, a device, a link to one), not the input file itself (by
// identity: a hard link or another spelling is the same file) and, unless `force`, not an existing
// file.
std::string check_output(const std::string& output, const std::string& input, bool force);
// "" when machines.ini (at `path`, "" = not found) describes the target generator dopfun.
std::string check_machines_ini(const Settings& settings, const std::string& path);

// The one line of a failed job: the file it concerns and the reason.
struct FailureLine {
    std::string file;
    std::string reason;
};
// A failed conversion's line: the file the failure names (the input when it names none) and its
// reason; machines.ini that was not found anywhere is said so, with the places it was looked for
// (`machines_ini`: the one the job used, "" for none).
FailureLine conversion_failure_line(const Settings& settings, const Failure& f, const std::string& input,
                                    const std::string& machines_ini);
// A failed merge or transformation's (`job`: "merge" or "transformation"): "the merge failed: ",
// the file the failure names and the reason.
FailureLine merge_failure_line(const Settings& settings, const Failure& f, const char* job, const std::string& machines_ini);

// The files a job reads and writes, for check_job_files.
struct ReadFile {
    std::string name;
    std::string what; // "the input file itself", "the merge's first song", ...
};
struct WrittenFile {
    std::string name;
    std::string what;                // "song", "log file", ...
    bool must_be_new = true;         // an existing file of the name needs -y
    std::vector<std::string> may_be; // files it may be and replace: a merge's own inputs
    bool opened = false;             // a character device of the name is written into (the log)
};
// Checks every file the job writes, in order: not a folder, nothing but a regular file (a FIFO, a
// device, a link to one; a character device only where it is `opened`), none of the files it reads
// (by identity: a link, a hard link or another spelling is the same file) unless named in its
// may_be, not a file another of its outputs is, and unless `force` not an existing file.
FailureLine check_job_files(const std::vector<ReadFile>& reads, const std::vector<WrittenFile>& writes, bool force);
// Checks that standard output, when a job writes a song or a listing there, is none of the files
// it reads (kestrix song.xm - 1<>song.xm), by identity, as cat does.
FailureLine check_standard_output(const std::vector<ReadFile>& reads);
