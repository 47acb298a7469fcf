// The classic loader's own commands as the run issues them, beside its family table.
#pragma once

int classicMassErase();
int classicSendPassword();
// Restarts the ROM loader (Load PC at its restart address).
int classicRestartLoader();
