#include "flavours.h"

int main(int argc, char** argv) { brindlecap::python_launcher_main(argc, argv); }
