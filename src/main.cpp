#include "control/main_driver.h"
#include "sim/sim_device.h"

int main(int argc, char** argv) {
    sim::registerSimDevice();
    return runMain(argc, argv);
}
