// What both front ends do before a job: find machines.ini, have the XI directory ready, and say
// where a MIDI conversion's waves will come from.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

// Where machines.ini is looked for, in order: the current directory, beside the executable, then
// ../share/kestrix/ next to the executable's folder (an installed copy).
std::vector<std::string> machines_ini_places();

// Points a job's machine loader (settings.machines_ini) at the first of those places that holds
// the file and returns it; "" when none does (the loader then reports the file missing under its
// plain name).
std::string choose_machines_ini(Settings& settings);

// A BMW conversion refers to XI files in xi_dir: creates the directory when it is missing.
void prepare_xi_dir(const Settings& settings);

// True when `path` names a file the job of `s` reads or writes (its input, output, merge songs):
// a log file of that name would destroy it or be replaced by it.
bool names_a_file_of_the_job(const Settings& s, const char* path);

// Where the waves of a native MIDI conversion with `s` come from, decided before it runs (the
// dialog shows it before converting, the console before the job): the XI files of xi_dir for the
// wave mode (gmc_NN.xi per channel, gmp_NN.xi with dopchange=1), a SoundFont (the `soundfont`
// setting; an XI file in xi_dir still wins for its wave), or, when the setting names none and
// xi_dir holds none of the mode's XI files, a General MIDI SoundFont found on this system; or
// nothing.
enum class MidiWaveSourceKind { none, xi_folder, soundfont };
struct MidiWaveSource {
    MidiWaveSourceKind kind = MidiWaveSourceKind::none;
    std::string soundfont; // the SoundFont (kind soundfont)
    bool found = false;    // the SoundFont was found on this system, not named by the settings
    int xi_files = 0;      // XI files of the wave mode in xi_dir
    std::string problem;   // a SoundFont the settings name that cannot be opened: why (the job fails)
    std::string text;      // one line for the user: where the waves come from, or how to get some
};
MidiWaveSource midi_wave_source(const Settings& s);

// The places a General MIDI SoundFont is looked for, in order: beside the program, then (not on
// Windows) the share/sounds/sf2 folders of the program's prefix, /usr/local and /usr, each for
// default-GM.sf2, FluidR3_GM.sf2 and TimGM6mb.sf2.
std::vector<std::string> soundfont_places();

// Before a MIDI job: puts the SoundFont found on this system (if the decision takes one) into
// s.soundfont_found, for the conversion.
void take_midi_wave_source(Settings& s);
