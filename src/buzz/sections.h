// The seven sections of a Buzz song that the program writes and reads itself, in the order a song
// it writes holds them: the song writer, the song reader and the merge name them from here. Any
// other section of a song (BVER, PARA, PDLG, MIDI, CWAV, ...) is listed in the directory and kept
// as an extra section.
#pragma once

enum SectionId { sec_mach = 1, sec_conn, sec_wavt, sec_patt, sec_sequ, sec_blah, sec_wave };
constexpr int song_sections = 7;

// Their four-letter names, by SectionId.
inline constexpr const char* section_names[song_sections + 1] = {"", "MACH", "CONN", "WAVT", "PATT",
                                                                 "SEQU", "BLAH", "WAVE"};
