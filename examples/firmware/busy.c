/* busy: never sleeps, for measuring how fast the bench runs a working chip. MCLK comes from an
 * 8 MHz crystal on XT2 (run it with the board's XT2 fitted); the CPU counts without pause and,
 * each second that the watchdog's interval timer (ACLK / 32768) marks, prints how far it got.
 * Messages go out on USART0 at 9600 8N1 (uart0.h). */
#include "f149.h"
#include "uart0.h"

static void print_hex(uint32_t n) {
    for (int shift = 28; shift >= 0; shift -= 4) uart0_put("0123456789ABCDEF"[(n >> shift) & 0xFu]);
}

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;

    BCSCTL1 &= (uint8_t)~XT2OFF;
    do {  /* until XT2 has started */
        IFG1 &= (uint8_t)~OFIFG;
        for (volatile int wait = 0; wait < 100; ++wait) {
        }
    } while (IFG1 & OFIFG);
    BCSCTL2 = SELM_XT2 | SELS;

    uart0_init();
    uart0_print("busy: counting\r\n");
    WDTCTL = WDTPW | WDTTMSEL | WDTCNTCL | WDTSSEL;

    uint32_t count = 0;
    for (;;) {
        ++count;
        if (IFG1 & WDTIFG) {
            IFG1 &= (uint8_t)~WDTIFG;
            print_hex(count);
            uart0_print("\r\n");
        }
    }
}
