// Files a job expects before it starts.
#include "jobs/job_files.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/settings.h"

std::vector<std::string> machines_ini_places()
{
    std::vector<std::string> places = {"machines.ini"};
    const std::string dir = platform::executable_directory();
    if (!dir.empty()) {
        const char sep = platform::path_separator;
        places.push_back(dir + sep + "machines.ini");
        places.push_back(dir + sep + ".." + sep + "share" + sep + "kestrix" + sep + "machines.ini");
    }
    return places;
}

std::string choose_machines_ini(Settings& settings)
{
    std::string chosen;
    for (const std::string& p : machines_ini_places())
        if (platform::file_exists(p.c_str())) {
            chosen = p;
            break;
        }
    settings.machines_ini = chosen.empty() ? "machines.ini" : chosen;
    return chosen;
}

bool names_a_file_of_the_job(const Settings& s, const char* path)
{
    for (const std::string* f : {&s.input_file, &s.output_file, &s.merge_input1, &s.merge_input2, &s.merge_output})
        if (!f->empty() && platform::same_file(path, f->c_str())) return true;
    return false;
}

void prepare_xi_dir(const Settings& settings)
{
    if (settings.dopfun == 0 && settings.dowave == Waves::bmw && !settings.xi_dir.empty())
        platform::make_directories(settings.xi_dir.c_str());
}

std::vector<std::string> soundfont_places()
{
    static constexpr const char* names[] = {"default-GM.sf2", "FluidR3_GM.sf2", "TimGM6mb.sf2"};
    std::vector<std::string> folders;
    const char sep = platform::path_separator;
    const std::string dir = platform::executable_directory();
    if (!dir.empty()) folders.push_back(dir + sep);
#if !defined(_WIN32)
    if (!dir.empty()) folders.push_back(dir + "/../share/sounds/sf2/");
    folders.push_back("/usr/local/share/sounds/sf2/");
    folders.push_back("/usr/share/sounds/sf2/");
#endif
    std::vector<std::string> places;
    for (const std::string& f : folders)
        for (const char* n : names) places.push_back(f + n);
    return places;
}

namespace {

// The XI files of the wave mode that xi_dir holds.
int xi_slot_files(const Settings& s)
{
    int n = 0;
    const bool patch = s.dopchange != 0;
    for (unsigned k = patch ? 0 : 1; k <= (patch ? 255u : 16u); ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "%s_%02x.xi", patch ? "gmp" : "gmc", k);
        if (platform::file_exists((std::string(s.xi_dir) + name).c_str())) ++n;
    }
    return n;
}

std::string folder_text(const Settings& s) { return s.xi_dir[0] ? std::string(s.xi_dir) : "the current folder (xi_dir)"; }

} // namespace

MidiWaveSource midi_wave_source(const Settings& s)
{
    MidiWaveSource w;
    if (s.domidi_ext) {
        w.text = "no waves: easyxmid converts the MIDI file (domidi_ext=1) into notes alone";
        return w;
    }
    if (s.dopfun != 0 || s.dowave == Waves::none) {
        w.text = "no waves: the song is written without waves (the target or the waves setting)";
        return w;
    }
    const char* mode = s.dopchange ? "gmp_NN.xi" : "gmc_NN.xi";
    w.xi_files = xi_slot_files(s);
    const std::string named = s.soundfont;
    if (!named.empty() && named != "none") {
        w.kind = MidiWaveSourceKind::soundfont;
        w.soundfont = named;
        const int e = platform::readable_file_status(named.c_str());
        if (e) w.problem = std::strerror(e);
        w.text = "waves from the SoundFont " + named;
        if (w.xi_files) w.text += " (the " + std::to_string(w.xi_files) + " " + mode + " files in " + folder_text(s) + " win for theirs)";
        return w;
    }
    if (w.xi_files) {
        w.kind = MidiWaveSourceKind::xi_folder;
        w.text = "waves from the " + std::to_string(w.xi_files) + " " + mode + " files in " + folder_text(s);
        return w;
    }
    if (named.empty())
        for (const std::string& p : soundfont_places())
            if (platform::readable_file_status(p.c_str()) == 0 && !platform::is_directory(p.c_str())) {
                w.kind = MidiWaveSourceKind::soundfont;
                w.soundfont = p;
                w.found = true;
                w.text = "waves from the SoundFont " + p + " (found on this system)";
                return w;
            }
    w.text = std::string("no waves: ") + folder_text(s) + " holds no " + mode + " files and " +
             (named.empty() ? "no General MIDI SoundFont was found on this system" : "the soundfont setting is none") +
             "; install one (Debian: timgm6mb-soundfont or fluid-soundfont-gm) or name any General MIDI SoundFont "
             "(.sf2) as the SoundFont (--soundfont FILE, kestrix.ini soundfont=FILE)";
    return w;
}

void take_midi_wave_source(Settings& s)
{
    const MidiWaveSource w = midi_wave_source(s);
    s.soundfont_found = w.found ? w.soundfont : "";
}
