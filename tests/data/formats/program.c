// A small MSP430F1xx program: blinks P1.0 from the Timer_A interrupt and counts port 1 edges.
#define REG8(a) (*(volatile unsigned char *)(a))
#define REG16(a) (*(volatile unsigned int *)(a))
#define WDTCTL REG16(0x0120)
#define P1OUT REG8(0x0021)
#define P1DIR REG8(0x0022)
#define P1IFG REG8(0x0023)
#define P1IE REG8(0x0025)
#define TACTL REG16(0x0160)
#define TACCTL0 REG16(0x0162)
#define TACCR0 REG16(0x0172)

static unsigned int pattern[4] = {0x0001, 0x0000, 0x0001, 0x0001};  // initial values: .data
static unsigned int ticks;                                           // zero: .bss
static volatile unsigned int edges;
static const char greeting[] = "bsl430 formats";

__attribute__((interrupt(6))) void timerA0(void) {
    unsigned int slot = ticks++ & 3;
    P1OUT = (unsigned char)pattern[slot];
    pattern[slot] ^= edges & 1;
}
__attribute__((interrupt(4))) void port1(void) {
    ++edges;
    P1IFG = 0;
}

int main(void) {
    WDTCTL = 0x5A80;
    P1DIR = 0x01;
    P1IE = 0x02;
    TACCR0 = 16384;
    TACCTL0 = 0x0010;
    TACTL = 0x0110;
    __asm__ volatile("eint");
    for (;;) P1OUT ^= greeting[edges & 7] & 0x02;
}

extern unsigned int __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];
extern char __stack_top[];

__attribute__((noreturn)) void _reset(void) {
    __asm__ volatile("mov #__stack_top, r1");
    for (unsigned int *from = __data_load, *to = __data_start; to < __data_end;) *to++ = *from++;
    for (unsigned int *to = __bss_start; to < __bss_end;) *to++ = 0;
    main();
    for (;;) {}
}

typedef void (*vector)(void);
__attribute__((section(".vectors.reset"), used)) static const vector resetVector = _reset;
