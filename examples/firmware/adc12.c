/* adc12: four times a second converts A0-A7 (P6.0-P6.7, against AVcc = 3.3 V) and the
 * temperature sensor (against the internal 1.5 V reference) in one sequence, and prints the
 * levels in millivolts and the temperature in tenths of a degree on USART0 (9600 8N1):
 *
 *   A0=1650 A1=0 A2=0 A3=0 A4=0 A5=0 A6=0 A7=0 mV, 25.0 C
 *
 * Timer_A (ACLK, up mode) starts each sequence; the ADC12 interrupt of the last conversion prints
 * it. Between them the CPU sleeps in low-power mode 0. */
#include "f149.h"
#include "uart0.h"

#define CHANNELS 8u
#define TEMP_MEM 8u
#define QUARTER_SECOND_COUNTS 8192u

static void put_decimal(int32_t value) {
    char digits[11];
    unsigned n = 0;
    if (value < 0) {
        uart0_put('-');
        value = -value;
    }
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) uart0_put(digits[--n]);
}

int main(void) {
    WDTCTL = WDTPW | WDTHOLD;
    uart0_init();
    P6SEL = 0xFFu; /* P6.0-P6.7 to the converter */

    for (unsigned i = 0; i < CHANNELS; ++i) ADC12MCTL(i) = (uint8_t)i;
    ADC12MCTL(TEMP_MEM) = (uint8_t)(EOS | SREF_VREF | INCH_TEMP);
    /* 256 cycles of the 5 MHz ADC12OSC (51 us) of sampling: the sensor wants 30 us. */
    ADC12CTL0 = ADC12ON | REFON | MSC | SHT0(8u) | SHT1(8u);
    ADC12CTL1 = SHP | CONSEQ_SEQUENCE;
    ADC12IE = 1u << TEMP_MEM;
    ADC12CTL0 |= ENC;

    /* The first sequence a quarter second from now, when the reference has settled. */
    TACCR0 = QUARTER_SECOND_COUNTS - 1u;
    TACCTL0 = CCIE;
    TACTL = TASSEL_ACLK | MC_UP | TACLR;
    for (;;) enter_low_power(LPM0_BITS | GIE);
}

ISR(TIMERA0) { ADC12CTL0 |= ADC12SC; }

/* The sequence is done: millivolts are code * 3300 / 4095, rounded; the sensor gives
 * 986 mV + 3.55 mV per degree; both rounded to the nearest. */
ISR(ADC12) {
    for (unsigned i = 0; i < CHANNELS; ++i) {
        uint32_t code = ADC12MEM(i);
        uart0_put('A');
        uart0_put((char)('0' + i));
        uart0_put('=');
        put_decimal((int32_t)((code * 3300u + 2047u) / 4095u));
        if (i + 1u < CHANNELS) uart0_put(' ');
    }
    /* In units of 10 uV, and the difference to 0 degrees times 20 over 710 (3.55 mV * 200). */
    int32_t sensor = (int32_t)(((uint32_t)ADC12MEM(TEMP_MEM) * 150000u + 2047u) / 4095u);
    int32_t scaled = (sensor - 98600) * 20;
    int32_t tenths = (scaled >= 0 ? scaled + 355 : scaled - 355) / 710;
    uart0_print(" mV, ");
    if (tenths < 0) {
        uart0_put('-');
        tenths = -tenths;
    }
    put_decimal(tenths / 10);
    uart0_put('.');
    put_decimal(tenths % 10);
    uart0_print(" C\r\n");
}
