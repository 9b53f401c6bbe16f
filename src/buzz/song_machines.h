// The machines of a Buzz song as its own sections tell them, without needing machines.ini: each
// machine's name, kind and library come straight from MACH, whatever machine it is. Walking past
// a machine's parameter state needs its layout (bytes of the global state and of one track), which
// comes from machines.ini when it describes the library, else from the song's own parameter
// descriptions (PARA, written by Buzz itself), else from the bytes themselves: the layout after
// which the next machine's record begins as a record does (its name, kind, library, position),
// or the last machine ends the section. Patterns are counted where every layout is known.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"

struct SongMachine {
    int index = 0;
    std::string name;    // as stored (Windows-1252)
    int type = 0;        // 0 master, 1 generator, 2 effect
    std::string library; // the library name Buzz stores ("Master" for the master)
    int description = -1;  // the machines.ini record that describes it, -1 none
    int global_bytes = -1; // its layout: bytes of the global state, of one track; -1 not known
    int track_bytes = -1;
    int tracks = 0;
    int patterns = -1;   // -1: not known (a layout before it in PATT is not known)
};

struct SongMachines {
    bool read = false;                 // MACH was found and its count read
    int count = 0;                     // the machine count MACH gives
    std::vector<SongMachine> machines; // the machines named (all of them, unless `problem`)
    std::string problem;               // why the later machines could not be named
};

// Reads the machines of the song in `file` (a Buzz song; the position is changed). `table` may be
// empty (no machines.ini).
SongMachines scan_song_machines(FILE* file, const MachineTable& table);

// A machine's line as machines.ini takes it: the quoted library name, its kind and, where known,
// its byte counts ("\"Elak SVF\" 2 4 0"); a generator's further fields are not in the song.
std::string machines_ini_line(const SongMachine& m);
