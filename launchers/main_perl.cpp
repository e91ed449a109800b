#include "flavours.h"

int main(int argc, char** argv) { brindlecap::perl_launcher_main(argc, argv); }
