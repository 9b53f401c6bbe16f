// The console edition's options, written once: the parser looks every option up here, and --help,
// the manual page and the bash completion are made from the same entries, so none of them can
// name an option the others do not know.
#pragma once

#include <span>
#include <string>
#include <vector>

enum class OptionId {
    help, version, save, quiet, verbose, force, keys, json, format, midi_tempos, split, target, waves,
    transpose, set, log, list, jobs, output_dir, merge, generators, libraries, output, scale, shift_waves, blow_up,
    repeat, clone, source_transpose, clone_transpose, clone_wave, rip_es9, tune, rip, merge_after, soundfont,
    export_xi,
};

// What the completion offers for an option's value.
enum class ValueKind { none, number, file, song, directory, key, words };

struct OptionDoc {
    OptionId id;
    const char* names; // "-j, --jobs": the spellings, comma-separated
    const char* value; // the value's name in the help ("N", "FILE"), nullptr: no value
    const char* help;  // what it does (wrapped for --help; a paragraph in the manual page)
    ValueKind kind = ValueKind::none;
    const char* words = nullptr; // ValueKind::words: the values, blank-separated
};

struct OptionGroup {
    const char* title; // "Converting:"
    std::span<const OptionDoc> options;
};

std::span<const OptionGroup> option_groups();

// The entry of an option name ("--jobs", "-j"), nullptr when no option has it.
const OptionDoc* find_option(const std::string& name);

// The short letters of kestrix.ini's comments, each with what it does: {letters, help}.
struct LetterDoc {
    const char* letters;
    const char* help;
};
std::span<const LetterDoc> letter_docs();

// kestrix --help.
std::string help_text();
// The manual page kestrix.1 (roff), for the given version.
std::string manual_page(const std::string& version);
// The bash completion of kestrix; `keys`: the settings keys --set takes.
std::string bash_completion(const std::vector<std::string>& keys);
