#include "sched/entry.h"

int main(int argc, char** argv) {
  return vrk::sched_main(argc, argv);
}
