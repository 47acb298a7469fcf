#include "gang/gang.h"
#include "sim/sim_device.h"

int main(int argc, char** argv) {
    sim::registerSimDevice();
    return gang::gangMain(argc, argv);
}
