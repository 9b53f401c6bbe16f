// Placeholder until this part of the program is written.
#include "transform/machines_ini.h"
#include "core/log.h"

MachineTable machine_table_state;
bool load_machine_descriptions() { return false; }
void machine_descriptions_reset() { machine_table_state.machine_descriptions = nullptr; machine_table_state.machine_description_count = 0; }
const MachineDescription* machine_description(int) { return nullptr; }
int find_machine_description(const char*) { return -1; }
uint8_t transpose_note(uint8_t note, int) { return note; }
