// The simulator's control commands, one per line, as typed on the program's standard input
// or written into its control FIFO. ControlHelp() lists them; RunControlCommand executes
// one against a running simulator and returns what to print.
#ifndef KALVIX_TOOLS_PLANTSIM_CONTROL_COMMANDS_H_
#define KALVIX_TOOLS_PLANTSIM_CONTROL_COMMANDS_H_

#include <string>
#include <string_view>

#include "tools/plantsim/plant_simulator.h"

namespace kalvix::plantsim {

struct CommandResult {
  std::string output;  // ends with a line break when not empty
  bool quit = false;
};

// Runs one command line. Blank lines and lines starting with '#' do nothing; an unknown or
// malformed command answers with "error: ..." and changes nothing. Call it on the
// simulator owner's thread.
CommandResult RunControlCommand(PlantSimulator& plant, std::string_view line);

// The command summary (also part of --help).
std::string ControlHelp();

}  // namespace kalvix::plantsim

#endif  // KALVIX_TOOLS_PLANTSIM_CONTROL_COMMANDS_H_
