// Many files in one call, as the console shows them: one line per file as it finishes, its
// warnings and its converter's notes under it, and a summary; the log of each job stays whole and
// goes, in the order of the files, to the --log file. The jobs themselves run in jobs/batch.h.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "jobs/batch.h"

struct BatchConsole {
    FILE* out = stderr;    // the lines of the files and the summary
    bool quiet = false;    // only failures, files with warnings, and a summary when one failed
    bool terminal = false; // `out` is a terminal: a progress bar counts the files
    FILE* log = nullptr;   // --log: every job's log, whole, in the order of the files
};

// Converts every file, `jobs` at once (at least one), and shows the lines as they finish.
// Returns the number of files that failed.
int run_batch(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert, const BatchConsole& console);
