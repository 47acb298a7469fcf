/* hello: greets on USART0 (9600 8N1 from the 32768 Hz crystal), echoes every byte it receives,
 * and blinks the LED on P1.0 from Timer_A: on for half a second, off for half a second. Between
 * events the CPU sleeps in low-power mode 3, where only ACLK runs. */
#include "f149.h"
#include "uart0.h"

/* Timer_A counts ACLK in up mode from 0 to TACCR0: TACCR0 + 1 counts make one half-period. */
#define HALF_PERIOD_COUNTS 16384u

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;

    P1OUT &= (uint8_t)~0x01u;
    P1DIR |= 0x01u;

    uart0_init();
    /* The greeting goes out before interrupts are on, so an echo cannot come between its bytes;
     * a byte that arrives meanwhile waits in the receive buffer. */
    uart0_print("Hello from the MSP430F149. Type, and I echo.\r\n");

    TACCR0 = HALF_PERIOD_COUNTS - 1u;
    TACCTL0 = CCIE;
    TACTL = TASSEL_ACLK | MC_UP | TACLR;

    IE1 |= URXIE0;
    for (;;) enter_low_power(LPM3_BITS | GIE);
}

/* A received byte goes straight back. At the same speed in both directions the transmit buffer is
 * free again long before the next byte is complete. */
ISR(USART0RX) {
    uint8_t c = U0RXBUF;
    uart0_put((char)c);
}

ISR(TIMERA0) { P1OUT ^= 0x01u; }
