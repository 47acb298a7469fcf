#include "control/main_driver.h"
#include "sim/sim_device.h"

int main(int argc, char** argv) {
    sim::registerSimDevice();
    sim::setKeepSimTrace(false);
    return runMain(argc, argv);
}
