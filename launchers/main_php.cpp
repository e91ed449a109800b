#include "flavours.h"

int main(int argc, char** argv) { brindlecap::php_launcher_main(argc, argv); }
