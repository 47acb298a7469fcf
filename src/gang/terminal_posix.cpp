#include <unistd.h>

#include "gang/live_view.h"

namespace gang {
bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
}  // namespace gang
