/* USART0 as a UART at 9600 Bd, 8 data bits, no parity, one stop bit, clocked from ACLK (the
 * 32768 Hz crystal), on P3.4 (TXD) and P3.5 (RXD). Shared by the example programs. */
#ifndef UART0_H
#define UART0_H

#include "f149.h"

/* 32768 Hz / 9600 Bd = 3.41: a divider of 3, and the fraction 0.41 spread over the eight bits of
 * a character by the modulation pattern 0x4A (three bits of eight set). */
static inline void uart0_init(void) {
    U0CTL = CHAR | SWRST;
    U0TCTL = SSEL_ACLK;
    U0RCTL = 0;
    U0BR0 = 3;
    U0BR1 = 0;
    U0MCTL = 0x4A;
    P3SEL |= 0x30;  /* P3.4 and P3.5 to the USART */
    ME1 |= UTXE0 | URXE0;
    U0CTL &= (uint8_t)~SWRST;
}

/* Waits until the transmit buffer is free, then hands it the byte. */
static inline void uart0_put(char c) {
    while ((IFG1 & UTXIFG0) == 0) {
    }
    U0TXBUF = (uint8_t)c;
}

static inline void uart0_print(const char* text) {
    while (*text != '\0') uart0_put(*text++);
}

#endif
