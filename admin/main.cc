// main.cc - vakAdminTool's entry point.
#include "shell.h"

int main(int argc, char **argv) {
  vakAdminMain(argc, argv);
}
