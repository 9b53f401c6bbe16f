// The summary of a Buzz song that heads `kestrix --list` and the dialog's listing of a song given
// as input, the same facts as JSON (--json), and the library names of its machines in the form
// machines.ini takes them (--libraries).
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
        bool described = false; // machines.ini describes its library
        int patterns = -1; // -1: not known (a machine before it in the song has a layout not known)
        std::string ini_line; // its line as machines.ini takes it (machines_ini_line)
        bool layout_known = false; // its byte counts are known (machines.ini, the song's PARA, its bytes)
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
    std::vector<Machine> machines;   // named from the song itself, with or without machines.ini
    std::string machines_problem;    // why the machines after the last one named are not named
    long long song_end = -1, loop_start = -1, loop_end = -1; // rows
    int sequences = -1;
    std::vector<Wave> waves;
};

// Reads the song with the program's own reader (as a job with `settings` and every detail of the
// listing on), gathers the facts from its listing, and names the machines from the song's own
// sections (machines.ini from settings.machines_ini says which it describes).
SongFacts gather_song_facts(const Settings& settings, const std::string& song);
// Facts taken from a detailed listing text (everything but the machines).
SongFacts facts_from_listing(const std::string& text);
// The summary, its texts from the song (Windows-1252) as UTF-8 (the console) or as they are (the
// dialog, whose window shows them in that code page).
std::string facts_summary(const std::string& song, const SongFacts& f, bool utf8 = true);
std::string facts_json(const std::string& song, const SongFacts& f);
// One line per library of the song's machines (the master's aside), in the form machines.ini takes:
// the quoted name, its kind and byte counts where the song tells them, and a note whether
// machines.ini has it.
std::string facts_libraries(const SongFacts& f, bool utf8 = true);
