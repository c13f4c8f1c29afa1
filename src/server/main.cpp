// kqvxi-server: serves the board controller named by its first argument. The
// exit code is the only report.
#include "server/entry.h"

int main(int argc, char** argv) {
    return ServerMain(argc, argv);
}
