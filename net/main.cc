#include "net/net_loop.h"

int main(int argc, char** argv) {
  return vrk::net_main(argc, argv);
}
