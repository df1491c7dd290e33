// The device program: the upgrade flow on the real devices.
#include "app/upgqx4170.h"

int main(int argc, char** argv) { return app::main(argc, argv); }
