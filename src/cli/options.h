// Command line of the console edition: what to do, and the settings changes it asks for.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

struct CliRequest {
    std::vector<std::string> inputs; // the files to convert; the song of --list or --generators
    std::string input;       // the first of them ("" when there is none)
    std::string output;      // OUTPUT of a single input, "" = from the input's name
    std::string output_dir;  // -O DIR: the songs go there
    int jobs = 0;            // -j N: files converted at once, 0 = one per core
    std::string log_file;    // --log FILE
    bool list = false;       // --list SONG
    bool merge = false;      // --merge FIRST [SECOND]: merge_input1/2 and use_convout are set
    bool generators = false; // --generators SONG
    bool libraries = false;  // --libraries SONG
    bool export_xi = false;  // --export-xi FILE.sf2 DIR: inputs are the SoundFont and the folder
    std::string merge_output; // -o OUTPUT of a merge, "" = merge_output as it is
    bool save = false;       // --save-settings
    bool quiet = false;      // -q
    bool help = false;       // --help
    bool version = false;    // --version
    bool force = false;      // -y, --force: an existing output may be replaced
    bool keys = false;       // --keys: list every settings key
    bool json = false;       // --json, --format json: the listing's facts as JSON on stdout
    // The arguments that set options for every job (all but the names, -j, -O, --log, -q and
    // --save-settings), in their order: a job of a batch run as a program of its own gets them.
    std::vector<std::string> job_options;

    // More than one file to convert: a batch.
    bool batch() const { return inputs.size() > 1; }
};

// Applies the command line to `s` (loaded from kestrix.ini before) and fills `req`. Options may
// stand anywhere among the names. For --merge it also sets merge_input1, merge_input2,
// use_convout and merge_output; for a conversion with merge_after set, the merge that follows
// uses merge_input1, use_convout and merge_output. Returns false with a message in `error` on a
// usage error.
bool parse_command_line(Settings& s, const std::vector<std::string>& args, CliRequest& req, std::string& error);

// The job mode of the request: 2 for --merge, 3 for a conversion followed by a merge
// (merge_after), 1 for a conversion.
JobMode job_mode_of(const Settings& s, const CliRequest& req);

// True when the arguments ask for --help or --version (looked at before anything is loaded).
bool wants_help_or_version(const std::vector<std::string>& args, CliRequest& req);

// The output name for an input: its base name with the extension replaced by .bmx, or by .bmw
// when the song is a BMW (dowave 1 with the Tracker); beside the input, or in `output_dir`.
std::string default_output_name(const Settings& s, const std::string& input, const std::string& output_dir = "");

// True when the name makes the converter list a Buzz song instead of converting it: its last
// extension is .bmx or .bmw, in any case.
bool is_song_name(const std::string& name);

// Of two names, whether the second is the OUTPUT of the first (else both are inputs): it is "-",
// or ends in .bmx or .bmw, or names no existing file and has no extension an input has.
bool second_name_is_output(const std::string& name);
