#include "app/history_commands.h"

namespace quillbox {

void addHistoryCommands(CLI::App&, CommandContext&) {}

}  // namespace quillbox
