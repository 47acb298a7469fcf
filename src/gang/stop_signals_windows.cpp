#include "gang/stop_request.h"
#include "platform/windows_api.h"

namespace gang {
namespace {
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        requestStop();
        return TRUE;
    }
    return FALSE;
}
}  // namespace

void installStopSignals() { ::SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

}  // namespace gang
