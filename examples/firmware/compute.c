/* compute: prints results that a PC build of compute_core.c prints too (CRC-16, a sort, 16- and
 * 32-bit arithmetic through the compiler's helpers and through the hardware multiplier) on USART0 at
 * 9600 8N1, then sleeps. The DCO runs at its fastest setting so that the tables take little time;
 * the UART runs from the crystal and does not depend on it. */
#include "compute_core.h"
#include "f149.h"
#include "uart0.h"

void compute_put(char c) { uart0_put(c); }

/* The multiplier starts when OP2 is written; the result can be read by the next instruction. */
struct multiplier_result multiplier(enum multiplier_op op, uint16_t op1, uint16_t op2,
                                    uint32_t accumulator) {
    struct multiplier_result r;
    RESLO = (uint16_t)accumulator;
    RESHI = (uint16_t)(accumulator >> 16);
    switch (op) {
        case OP_MPY: MPY = op1; break;
        case OP_MPYS: MPYS = op1; break;
        case OP_MAC: MAC = op1; break;
        case OP_MACS: MACS = op1; break;
    }
    OP2 = op2;
    r.res = (uint32_t)RESLO | ((uint32_t)RESHI << 16);
    r.sumext = SUMEXT;
    return r;
}

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;
    BCSCTL1 = (uint8_t)((BCSCTL1 & ~0x07u) | 0x07u); /* RSEL = 7 */
    DCOCTL = 0xE0u;                                  /* DCO = 7, no modulation */
    uart0_init();
    compute_report();
    while ((U0TCTL & TXEPT) == 0) {
    }
    for (;;) enter_low_power(LPM3_BITS);
}
