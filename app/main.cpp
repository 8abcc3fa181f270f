#include <iostream>

#include "app/cli/cli.h"

// The application's entry: the command line, which starts the app itself when given no command.
int main(int argc, char** argv) {
  return quillbox::runCommandLine(argc, argv, std::cin, std::cout, std::cerr);
}
