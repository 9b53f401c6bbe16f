// Helper of the converter tests: running the built programs.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int exit_code = -1;
    std::string err;  // what the program wrote on stderr
};

// Runs build/<program> with the given arguments in the current directory.
RunResult run_converter(const std::string& program, const std::vector<std::string>& args);
