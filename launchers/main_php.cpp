#include "flavours.h"

int main(int argc, char** argv) { brindlecap::launcher::php_launcher_main(argc, argv); }
