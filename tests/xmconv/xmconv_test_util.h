// Helpers of the converter tests: running the built programs and reading an XM's sample lengths.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct RunResult {
    int exit_code = -1;
    std::string err;  // what the program wrote on stderr
};

// Runs build/<program> with the input and one switch in the current directory.
RunResult run_converter(const std::string& program, const std::string& input, const std::string& flag);
// Runs build/<program> with the given arguments.
RunResult run_converter_args(const std::string& program, const std::vector<std::string>& args);

// Sample lengths in frames of each instrument of an XM file, walking its layout.
std::vector<std::multiset<uint32_t>> xm_sample_lengths(const std::vector<uint8_t>& xm);
