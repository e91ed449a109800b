#include "flavours.h"

int main(int argc, char** argv) { brindlecap::launcher::python_launcher_main(argc, argv); }
