/* MSP430F149 registers and bits used by the example firmware, at the chip's own addresses.
 * Only what the examples use is named; add more in the same way. Byte registers live below
 * 0x0100, word registers from 0x0100 to 0x01FF. */
#ifndef F149_H
#define F149_H

#include <stdint.h>

#define REG8(address) (*(volatile uint8_t*)(address))
#define REG16(address) (*(volatile uint16_t*)(address))

/* Special function registers: interrupt enables, interrupt flags, module enables. */
#define IE1 REG8(0x0000)
#define IFG1 REG8(0x0002)
#define ME1 REG8(0x0004)
#define WDTIE 0x01u
#define WDTIFG 0x01u
#define OFIFG 0x02u
#define URXIE0 0x40u   /* IE1 */
#define UTXIE0 0x80u   /* IE1 */
#define URXIFG0 0x40u  /* IFG1 */
#define UTXIFG0 0x80u  /* IFG1 */
#define URXE0 0x40u    /* ME1: USART0 receiver on (UART mode) */
#define UTXE0 0x80u    /* ME1: USART0 transmitter on (UART mode) */

/* Digital I/O. */
#define P1IN REG8(0x0020)
#define P1OUT REG8(0x0021)
#define P1DIR REG8(0x0022)
#define P1SEL REG8(0x0026)
#define P1IFG REG8(0x0023)
#define P1IES REG8(0x0024)
#define P1IE REG8(0x0025)
#define P3IN REG8(0x0018)
#define P3OUT REG8(0x0019)
#define P3DIR REG8(0x001A)
#define P3SEL REG8(0x001B)
#define P6SEL REG8(0x0037)

/* Basic clock module. After reset ACLK comes from LFXT1 (XTS = 0: the 32768 Hz watch crystal). */
#define DCOCTL REG8(0x0056)
#define BCSCTL1 REG8(0x0057)
#define BCSCTL2 REG8(0x0058)
#define XT2OFF 0x80u  /* BCSCTL1: XT2 oscillator off */
#define SELM_XT2 0x80u /* BCSCTL2: MCLK from XT2 */
#define SELS 0x08u    /* BCSCTL2: SMCLK from XT2 */

/* USART0 in UART mode. */
#define U0CTL REG8(0x0070)
#define U0TCTL REG8(0x0071)
#define U0RCTL REG8(0x0072)
#define U0MCTL REG8(0x0073)
#define U0BR0 REG8(0x0074)
#define U0BR1 REG8(0x0075)
#define U0RXBUF REG8(0x0076)
#define U0TXBUF REG8(0x0077)
#define SWRST 0x01u   /* UxCTL: held in reset while set */
#define CHAR 0x10u    /* UxCTL: 8 data bits (clear: 7) */
#define SSEL_ACLK 0x10u /* UxTCTL: baud clock from ACLK */
#define TXEPT 0x01u   /* UxTCTL: transmitter shift register and buffer empty */

/* Watchdog. Every write needs the password in the high byte. */
#define WDTCTL REG16(0x0120)
#define WDTPW 0x5A00u
#define WDTHOLD 0x0080u
#define WDTTMSEL 0x0010u /* interval timer mode */
#define WDTCNTCL 0x0008u /* clears the count */
#define WDTSSEL 0x0004u  /* counts ACLK; with WDTIS = 0, an interval of 32768 counts */

/* Hardware multiplier. Writing OP2 starts the operation chosen by which operand-1 register was
 * written last: MPY (unsigned), MPYS (signed), MAC (unsigned, accumulating into RESHI:RESLO),
 * MACS (signed, accumulating). */
#define MPY REG16(0x0130)
#define MPYS REG16(0x0132)
#define MAC REG16(0x0134)
#define MACS REG16(0x0136)
#define OP2 REG16(0x0138)
#define RESLO REG16(0x013A)
#define RESHI REG16(0x013C)
#define SUMEXT REG16(0x013E)

/* Timer_A. */
#define TAIV REG16(0x012E)
#define TACTL REG16(0x0160)
#define TACCTL0 REG16(0x0162)
#define TACCTL1 REG16(0x0164)
#define TACCTL2 REG16(0x0166)
#define TAR REG16(0x0170)
#define TACCR0 REG16(0x0172)
#define TACCR1 REG16(0x0174)
#define TACCR2 REG16(0x0176)
#define TASSEL_ACLK 0x0100u /* TACTL: clock from ACLK */
#define MC_UP 0x0010u       /* TACTL: count up to TACCR0, then restart at 0 */
#define TACLR 0x0004u       /* TACTL: clear TAR and the divider */
#define CCIE 0x0010u        /* TACCTLx: capture/compare interrupt enable */
#define CM_BOTH 0xC000u     /* TACCTLx: capture on both edges */
#define CCIS_A 0x0000u      /* TACCTLx: capture input CCIxA (P1.1-P1.3 for blocks 0-2) */
#define CAP 0x0100u         /* TACCTLx: capture mode */
#define OUTMOD_7 0x00E0u    /* TACCTLx: output reset at TACCRx, set at TACCR0 */

/* Timer_B7. TBCCRx is what firmware writes; the block compares TBR with its latch TBCLx, which
 * takes the written value at once (CLLD 0) or at a later load event. */
#define TBIV REG16(0x011E)
#define TBCTL REG16(0x0180)
#define TBCCTL0 REG16(0x0182)
#define TBCCTL1 REG16(0x0184)
#define TBCCTL2 REG16(0x0186)
#define TBR REG16(0x0190)
#define TBCCR0 REG16(0x0192)
#define TBCCR1 REG16(0x0194)
#define TBCCR2 REG16(0x0196)
#define TBSSEL_ACLK 0x0100u /* TBCTL: clock from ACLK */
#define MC_CONTINUOUS 0x0020u /* TACTL, TBCTL: count up to the maximum, then restart at 0 */
#define TBCLR 0x0004u       /* TBCTL: clear TBR, the divider and the direction */
#define TASSEL_SMCLK 0x0200u /* TACTL: clock from SMCLK */

/* ADC12. ADC12MCTLx says which input (INCH) against which references (SREF) ADC12MEMx takes;
 * EOS marks the last register of a sequence. */
#define ADC12MCTL(n) REG8(0x0080 + (n))
#define ADC12MEM(n) REG16(0x0140 + 2 * (n))
#define ADC12CTL0 REG16(0x01A0)
#define ADC12CTL1 REG16(0x01A2)
#define ADC12IFG REG16(0x01A4)
#define ADC12IE REG16(0x01A6)
#define ADC12IV REG16(0x01A8)
#define ADC12SC 0x0001u   /* ADC12CTL0: start sampling */
#define ENC 0x0002u       /* ADC12CTL0: conversions enabled (settings locked) */
#define ADC12ON 0x0010u   /* ADC12CTL0: the converter on */
#define REFON 0x0020u     /* ADC12CTL0: the internal reference on, 1.5 V */
#define MSC 0x0080u       /* ADC12CTL0: a sequence goes on by itself after the first start */
#define SHT0(n) ((n) << 8) /* ADC12CTL0: sample time of MEM0-7 */
#define SHT1(n) ((n) << 12) /* ADC12CTL0: sample time of MEM8-15 */
#define SHP 0x0200u       /* ADC12CTL1: sample time from the SHT bits */
#define CONSEQ_SEQUENCE 0x0002u /* ADC12CTL1: one pass from CSTARTADD to EOS */
#define ADC12BUSY 0x0001u /* ADC12CTL1 */
#define EOS 0x80u         /* ADC12MCTLx */
#define SREF_VREF 0x10u   /* ADC12MCTLx: VR+ is the internal reference */
#define INCH_TEMP 10u     /* ADC12MCTLx: the temperature sensor */

/* Status register bits for the low-power modes. */
#define GIE 0x0008u
#define CPUOFF 0x0010u
#define OSCOFF 0x0020u
#define SCG0 0x0040u
#define SCG1 0x0080u
#define LPM0_BITS (CPUOFF)
#define LPM3_BITS (SCG1 | SCG0 | CPUOFF)

/* Interrupt vectors: the slot's number counted from 0xFFE0 (slot n is at 0xFFE0 + 2n). */
#define PORT2_VECTOR 1
#define USART1TX_VECTOR 2
#define USART1RX_VECTOR 3
#define PORT1_VECTOR 4
#define TIMERA1_VECTOR 5
#define TIMERA0_VECTOR 6
#define ADC12_VECTOR 7
#define USART0TX_VECTOR 8
#define USART0RX_VECTOR 9
#define WDT_VECTOR 10
#define COMPARATORA_VECTOR 11
#define TIMERB1_VECTOR 12
#define TIMERB0_VECTOR 13
#define NMI_VECTOR 14

/* An interrupt handler: ISR(USART0RX) { ... } defines isr_USART0RX, which the vector table in
 * startup.S points at. A vector without a handler points at a trap that resets the chip. */
#define ISR(name) __attribute__((interrupt(name##_VECTOR))) void isr_##name(void)

/* Status register access for the main loop. */
#define enable_interrupts() __asm__ volatile("eint\n\tnop" ::: "memory")
#define disable_interrupts() __asm__ volatile("dint\n\tnop" ::: "memory")
#define enter_low_power(bits) __asm__ volatile("bis %0, r2" ::"i"(bits) : "memory")

#endif
