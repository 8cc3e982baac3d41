#include "app/startup.h"

int main(int argc, char** argv) { return tolbrek5::RunProgram(argc, argv); }
