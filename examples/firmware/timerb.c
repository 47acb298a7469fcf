/* timerb: Timer_B counts the 32768 Hz crystal in continuous mode and raises two compare
 * interrupts at intervals of its own: TBCCR1 every 328 counts (10.0 ms) toggles P1.1, TBCCR2 every
 * 1638 counts (50.0 ms) toggles P1.2; each handler moves its compare register on by its interval.
 * Timer_A counts SMCLK (the DCO, about 800 kHz after reset) as a stopwatch: the first eight
 * TBCCR1 intervals are measured in SMCLK counts and printed on USART0 (9600 8N1):
 *
 *   TBCCR1 328 ACLK = 8007 8011 8007 8008 8007 8007 8007 8011 SMCLK
 *
 * (328 counts of 32768 Hz are 8007.8 counts of 800 kHz; the handler starts a few cycles late when
 * the instruction it interrupts is a long one.)
 */
#include "f149.h"
#include "uart0.h"

#define INTERVAL1 328u
#define INTERVAL2 1638u
#define MEASURED 8u

static volatile uint16_t lengths[MEASURED];
static volatile uint16_t measured;
static uint16_t last_stamp;
static uint8_t stamped; /* last_stamp holds a handler's time */

static void put_decimal(uint16_t value) {
    char digits[5];
    unsigned n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (n > 0) uart0_put(digits[--n]);
}

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;
    uart0_init();
    P1OUT &= (uint8_t)~0x06u;
    P1DIR |= 0x06u;

    TACTL = TASSEL_SMCLK | MC_CONTINUOUS | TACLR;
    TBCCR1 = INTERVAL1;
    TBCCR2 = INTERVAL2;
    TBCCTL1 = CCIE;
    TBCCTL2 = CCIE;
    TBCTL = TBSSEL_ACLK | MC_CONTINUOUS | TBCLR;
    enable_interrupts();

    while (measured < MEASURED) {}
    uart0_print("TBCCR1 328 ACLK =");
    for (unsigned i = 0; i < MEASURED; ++i) {
        uart0_put(' ');
        put_decimal(lengths[i]);
    }
    uart0_print(" SMCLK\r\n");
    for (;;) enter_low_power(LPM0_BITS | GIE);
}

/* TBIV names the block whose compare came, highest priority first, and clears its flag. */
ISR(TIMERB1) {
    switch (TBIV) {
        case 2: {
            uint16_t stamp = TAR;
            TBCCR1 += INTERVAL1;
            P1OUT ^= 0x02u;
            /* From handler to handler, so that both ends see the same entry delay. */
            if (stamped && measured < MEASURED)
                lengths[measured++] = (uint16_t)(stamp - last_stamp);
            last_stamp = stamp;
            stamped = 1;
            break;
        }
        case 4:
            TBCCR2 += INTERVAL2;
            P1OUT ^= 0x04u;
            break;
        default: break;
    }
}
