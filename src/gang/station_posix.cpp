#include <unistd.h>

#include "gang/station.h"

namespace gang {

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace gang
