// selvarn-sms: the library's command line. See cli.hpp.
#include <unistd.h>

#include <exception>
#include <iostream>

#include "cli.hpp"

int main(int argc, char** argv) {
  selvarn::cli::Io io{std::cin, std::cout, std::cerr, isatty(STDERR_FILENO) == 1};
  try {
    return selvarn::cli::Run(std::vector<std::string>(argv + 1, argv + argc), io);
  } catch (const std::exception& e) {
    std::cerr << "selvarn-sms: " << e.what() << "\n";
    return selvarn::cli::kRunTimeError;
  }
}
