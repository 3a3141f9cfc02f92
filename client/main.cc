#include "client/commands.h"

int main(int argc, char** argv) {
  return vrk::client_main(argc, argv);
}
