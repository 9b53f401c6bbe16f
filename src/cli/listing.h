// The summary of a Buzz song that heads `kestrix --list`, and the same facts as JSON (--json).
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

struct SongFacts {
    struct Machine {
        int index = 0;
        std::string name;
        int type = 0;    // 0 master, 1 generator, 2 effect
        std::string dll; // the machine's library ("" for the master)
        int patterns = -1; // -1: not known (the song's machines are not all in machines.ini)
    };
    struct Wave {
        int index = 0;   // wave table index (the wave number is index + 1)
        std::string name;
        std::string file;
        long long bytes = -1; // bytes of its data in the song; -1: none there (a BMW's XI files)
        bool compressed = false; // stored packed in CWAV (else as 16-bit samples, in WAVE or CWAV)
        long long raw_bytes = -1; // bytes of its levels as 16-bit samples; -1: none in the song
    };
    bool read = false;               // the song was read
    std::vector<std::string> sections; // as the directory names them
    int machine_count = -1;
    std::vector<Machine> machines;   // empty when machines.ini does not describe every machine
    long long song_end = -1, loop_start = -1, loop_end = -1; // rows
    int sequences = -1;
    std::vector<Wave> waves;
};

// Reads the song with the program's own reader (as a job with `settings` and every detail of the
// listing on) and gathers the facts from its detailed listing.
SongFacts gather_song_facts(const Settings& settings, const std::string& song);
// Facts taken from a detailed listing text (verbose, machines one by one).
SongFacts facts_from_listing(const std::string& text);
std::string facts_summary(const std::string& song, const SongFacts& f);
std::string facts_json(const std::string& song, const SongFacts& f);
