// kestrix.ini: loading and saving the persistent settings. (Placeholder until written.)
#include "settings/settings.h"

#include <cstring>

Settings settings;

bool load_settings() { return false; }
void save_settings() {}
void settings_set_text(char (&field)[settings_text_size], const char* text)
{
    std::strncpy(field, text, settings_text_size - 1);
    field[settings_text_size - 1] = 0;
}
bool settings_apply_line(const char*) { return false; }
