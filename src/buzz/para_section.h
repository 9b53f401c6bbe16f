// PARA: the section in which Buzz keeps the parameter descriptions of a song's machines, one
// entry per machine in MACH order, so that a song still loads when a machine's parameters change:
//
//   dword  number of entries (the song's machine count)
//   entry: text   the machine's name
//          text   its library ("Master" for the master)
//          dword  global parameters (0..n)
//          dword  track parameters (0..n)
//          per parameter, the globals first, 21 bytes and its name:
//            byte   type (0 note, 1 switch, 2 byte, 3 word)
//            text   name
//            dword  minimum, maximum, the "no value" value, flags, default
#pragma once

#include <cstdint>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"

// Where the entries of a PARA section lie in the song file.
struct ParaSection {
    uint32_t machines = 0;     // entries
    uint64_t first_entry = 0;  // offset of machine 0's entry (the master's)
    uint64_t second_entry = 0; // offset of machine 1's entry (the end when there is none)
    uint64_t end = 0;          // end of the last entry
    // Per entry: the offset of its name and of its library text (behind the name's terminator).
    std::vector<uint64_t> entry_name, entry_library;
    // The first entry of a machine of the kind asked for: where its library text begins and where
    // the entry ends (both 0 when there is none).
    uint64_t match_library = 0;
    uint64_t match_end = 0;
};

// Reads the PARA section `in` stands at the start of; true when it holds exactly `machines`
// well-formed entries and nothing else. `description`: the record of `table` (machines.ini) of the
// kind of machine to look for (its library found as MACH finds it), or -1.
bool read_para_section(SectionReader& in, uint32_t machines, const MachineTable& table, int description,
                       ParaSection& out);
