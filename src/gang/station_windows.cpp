#include "gang/station.h"
#include "platform/windows_api.h"

namespace gang {

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameA(name, &size)) return {};
    return std::string(name, size);
}

}  // namespace gang
