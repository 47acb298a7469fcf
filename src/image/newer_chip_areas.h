// The parts of a newer loader's chip (F5xx, F6xx, FR5xx, FR6xx, FR2xx, FR4xx) that firmware can
// never be written to, whichever chip of those families it is.
#pragma once

// 0 when the image leaves them alone; otherwise 1, the first such address and why named on
// standard error.
int refuseForNewerFamily();
