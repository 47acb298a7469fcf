/* hello: greets on USART0 (9600 8N1 from the 32768 Hz crystal), echoes every byte it receives,
 * and blinks the LED on P1.0 from Timer_A: on for half a second, off for half a second. Between
 * events the CPU sleeps in low-power mode 3, where only ACLK runs.
 *
 * Keys typed while the greeting is still going out are kept and echoed right after it: a user
 * types at once, and the one receive buffer would lose all but the last of them. */
#include "f149.h"
#include "uart0.h"

/* Timer_A counts ACLK in up mode from 0 to TACCR0: TACCR0 + 1 counts make one half-period. */
#define HALF_PERIOD_COUNTS 16384u

#define interrupts_off() __asm__ volatile("dint\n\tnop" ::: "memory")
#define interrupts_on() __asm__ volatile("eint\n\tnop" ::: "memory")

/* Bytes received during the greeting, in order; the receive interrupt fills it until the greeting
 * is done and the main loop has given back every byte kept. A burst longer than this loses its
 * tail, as typing faster than 9600 Bd would on the wire anyway. */
static volatile uint8_t early[32];
static volatile uint8_t early_count;
static volatile uint8_t greeted;

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;

    P1OUT &= (uint8_t)~0x01u;
    P1DIR |= 0x01u;

    uart0_init();
    /* Receiving is on before the greeting: what arrives meanwhile is kept, not echoed, so no echo
     * comes between the greeting's bytes. */
    IE1 |= URXIE0;
    interrupts_on();
    uart0_print("Hello from the MSP430F149. Type, and I echo.\r\n");

    /* The kept bytes go back in order; bytes still arriving are kept until the last one is out,
     * then the interrupt echoes on its own. Checking and switching with interrupts off leaves no
     * byte between the two. */
    for (uint8_t sent = 0;; ++sent) {
        interrupts_off();
        if (sent == early_count) {
            greeted = 1;
            interrupts_on();
            break;
        }
        uint8_t c = early[sent];
        interrupts_on();
        uart0_put((char)c);
    }

    TACCR0 = HALF_PERIOD_COUNTS - 1u;
    TACCTL0 = CCIE;
    TACTL = TASSEL_ACLK | MC_UP | TACLR;

    for (;;) enter_low_power(LPM3_BITS | GIE);
}

/* After the greeting a received byte goes straight back. At the same speed in both directions the
 * transmit buffer is free again long before the next byte is complete. */
ISR(USART0RX) {
    uint8_t c = U0RXBUF;
    if (greeted)
        uart0_put((char)c);
    else if (early_count < sizeof early)
        early[early_count++] = c;
}

ISR(TIMERA0) { P1OUT ^= 0x01u; }
