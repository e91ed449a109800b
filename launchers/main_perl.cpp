#include "flavours.h"

int main(int argc, char** argv) { brindlecap::launcher::perl_launcher_main(argc, argv); }
