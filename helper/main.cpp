#include "cli.hpp"

int main(int argc, char** argv) {
  tavi::apply_process_settings();
  tavi::dispatch_command(argc, argv);
  return 0;
}
