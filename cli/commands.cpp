#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace brevant::cli {

int Main(int argc, char** argv) {
  CLI::App app{"Calverin Brevant: finds and recovers folders and files on FAT16, FAT32 and NTFS volumes"};
  app.set_version_flag("--version", std::string("brevant ") + BREVANT_VERSION);
  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
  }
  return 0;
}

}  // namespace brevant::cli
