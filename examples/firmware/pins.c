/* pins: the Timer_A output, an input edge and a capture, for watching on the bench.
 *  - PWM: Timer_A counts ACLK (32768 Hz) in up mode, 1000 counts a period (30.5 ms); output unit 1
 *    in reset/set mode drives P1.2 (TA1) high for the first 250 counts: a duty cycle of 25 %.
 *  - A button on P1.4, closing to ground: its falling edge wakes the chip, which lights the LED on
 *    P1.0 and says "button".
 *  - Capture block 2 takes TAR at every edge on P1.3 (CCI2A): the chip says "capture N".
 * Messages go out on USART0 at 9600 8N1 (uart0.h). Between events the CPU sleeps in LPM3. */
#include "f149.h"
#include "uart0.h"

static void print_number(uint16_t n) {
    char digits[5];
    int count = 0;
    do {
        digits[count++] = (char)('0' + n % 10u);
        n /= 10u;
    } while (n != 0u);
    while (count > 0) uart0_put(digits[--count]);
}

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;

    P1OUT = 0;
    P1DIR = 0x01u;           /* P1.0: the LED */
    P1SEL = 0x04u | 0x08u;   /* P1.2: TA1 output; P1.3: CCI2A input */
    P1DIR |= 0x04u;
    P1IES = 0x10u;           /* P1.4: falling edge */
    P1IFG = 0;
    P1IE = 0x10u;

    uart0_init();
    uart0_print("pins: ready\r\n");

    TACCR0 = 999u;
    TACCR1 = 250u;
    TACCTL1 = OUTMOD_7;
    TACCTL2 = CM_BOTH | CCIS_A | CAP | CCIE;
    TACTL = TASSEL_ACLK | MC_UP | TACLR;

    for (;;) enter_low_power(LPM3_BITS | GIE);
}

ISR(PORT1) {
    P1IFG = 0;
    P1OUT |= 0x01u;
    uart0_print("button\r\n");
}

/* TAIV 4: capture block 2. */
ISR(TIMERA1) {
    if (TAIV == 4u) {
        uint16_t count = TACCR2;
        uart0_print("capture ");
        print_number(count);
        uart0_print("\r\n");
    }
}
