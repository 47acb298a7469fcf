/* The arithmetic helpers the compiler calls for operations the CPU has no instruction for: multiply,
 * divide, remainder and shifts by a variable count, in 16 and 32 bits. Their names and arguments
 * are the MSP430 EABI's (arguments in R12..R15, results in R12 or R12:R13), which is the ordinary C
 * calling convention, so plain C functions serve. The firmware is built without the hardware
 * multiplier option: these run on any MSP430, and code that wants the multiplier uses its
 * registers directly.
 *
 * Every loop here uses only additions, subtractions, comparisons and shifts by one, which the
 * compiler does inline, so no helper calls another helper or itself. */
#include <stdint.h>

/* The compiler knows these names; declaring them keeps -Wmissing-prototypes quiet. */
int16_t __mspabi_mpyi(int16_t a, int16_t b);
int32_t __mspabi_mpyl(int32_t a, int32_t b);
uint16_t __mspabi_divu(uint16_t a, uint16_t b);
uint16_t __mspabi_remu(uint16_t a, uint16_t b);
int16_t __mspabi_divi(int16_t a, int16_t b);
int16_t __mspabi_remi(int16_t a, int16_t b);
uint32_t __mspabi_divul(uint32_t a, uint32_t b);
uint32_t __mspabi_remul(uint32_t a, uint32_t b);
int32_t __mspabi_divli(int32_t a, int32_t b);
int32_t __mspabi_remli(int32_t a, int32_t b);
uint16_t __mspabi_slli(uint16_t a, int16_t n);
uint16_t __mspabi_srli(uint16_t a, int16_t n);
int16_t __mspabi_srai(int16_t a, int16_t n);
uint32_t __mspabi_slll(uint32_t a, int16_t n);
uint32_t __mspabi_srll(uint32_t a, int16_t n);
int32_t __mspabi_sral(int32_t a, int16_t n);

/* Shift-and-add multiplication; the low half of the product is the same for signed and unsigned
 * operands. */
int16_t __mspabi_mpyi(int16_t a, int16_t b) {
    uint16_t x = (uint16_t)a, y = (uint16_t)b, product = 0;
    while (y != 0) {
        if (y & 1u) product += x;
        x += x;
        y >>= 1;
    }
    return (int16_t)product;
}

int32_t __mspabi_mpyl(int32_t a, int32_t b) {
    uint32_t x = (uint32_t)a, y = (uint32_t)b, product = 0;
    while (y != 0) {
        if (y & 1u) product += x;
        x += x;
        y >>= 1;
    }
    return (int32_t)product;
}

/* Restoring division, one quotient bit per step. Division by zero gives an all-ones quotient and
 * returns the dividend as the remainder, as the loop naturally does; C leaves it undefined. */
static uint16_t divide16(uint16_t dividend, uint16_t divisor, uint16_t* remainder) {
    uint16_t quotient = 0, rest = 0;
    for (uint8_t i = 0; i < 16; ++i) {
        rest = (uint16_t)(rest << 1) | (uint16_t)(dividend >> 15);
        dividend = (uint16_t)(dividend << 1);
        quotient = (uint16_t)(quotient << 1);
        if (rest >= divisor) {
            rest -= divisor;
            quotient |= 1u;
        }
    }
    *remainder = rest;
    return quotient;
}

static uint32_t divide32(uint32_t dividend, uint32_t divisor, uint32_t* remainder) {
    uint32_t quotient = 0, rest = 0;
    for (uint8_t i = 0; i < 32; ++i) {
        rest = (rest << 1) | (dividend >> 31);
        dividend <<= 1;
        quotient <<= 1;
        if (rest >= divisor) {
            rest -= divisor;
            quotient |= 1u;
        }
    }
    *remainder = rest;
    return quotient;
}

uint16_t __mspabi_divu(uint16_t a, uint16_t b) {
    uint16_t rest;
    return divide16(a, b, &rest);
}

uint16_t __mspabi_remu(uint16_t a, uint16_t b) {
    uint16_t rest;
    divide16(a, b, &rest);
    return rest;
}

/* Signed division truncates toward zero: the quotient is negative when the signs differ, the
 * remainder takes the dividend's sign. Magnitudes are taken in unsigned arithmetic so that the most
 * negative value needs no special case. */
int16_t __mspabi_divi(int16_t a, int16_t b) {
    uint16_t ua = a < 0 ? (uint16_t)(0u - (uint16_t)a) : (uint16_t)a;
    uint16_t ub = b < 0 ? (uint16_t)(0u - (uint16_t)b) : (uint16_t)b;
    uint16_t rest;
    uint16_t q = divide16(ua, ub, &rest);
    return (int16_t)((a < 0) != (b < 0) ? (uint16_t)(0u - q) : q);
}

int16_t __mspabi_remi(int16_t a, int16_t b) {
    uint16_t ua = a < 0 ? (uint16_t)(0u - (uint16_t)a) : (uint16_t)a;
    uint16_t ub = b < 0 ? (uint16_t)(0u - (uint16_t)b) : (uint16_t)b;
    uint16_t rest;
    divide16(ua, ub, &rest);
    return (int16_t)(a < 0 ? (uint16_t)(0u - rest) : rest);
}

uint32_t __mspabi_divul(uint32_t a, uint32_t b) {
    uint32_t rest;
    return divide32(a, b, &rest);
}

uint32_t __mspabi_remul(uint32_t a, uint32_t b) {
    uint32_t rest;
    divide32(a, b, &rest);
    return rest;
}

int32_t __mspabi_divli(int32_t a, int32_t b) {
    uint32_t ua = a < 0 ? 0u - (uint32_t)a : (uint32_t)a;
    uint32_t ub = b < 0 ? 0u - (uint32_t)b : (uint32_t)b;
    uint32_t rest;
    uint32_t q = divide32(ua, ub, &rest);
    return (int32_t)((a < 0) != (b < 0) ? 0u - q : q);
}

int32_t __mspabi_remli(int32_t a, int32_t b) {
    uint32_t ua = a < 0 ? 0u - (uint32_t)a : (uint32_t)a;
    uint32_t ub = b < 0 ? 0u - (uint32_t)b : (uint32_t)b;
    uint32_t rest;
    divide32(ua, ub, &rest);
    return (int32_t)(a < 0 ? 0u - rest : rest);
}

/* Shifts by a count in a register. Only the low four (16-bit) or five (32-bit) bits of the count
 * are used, so a count out of range cannot loop for long. */
uint16_t __mspabi_slli(uint16_t a, int16_t n) {
    for (n &= 15; n != 0; --n) a = (uint16_t)(a << 1);
    return a;
}

uint16_t __mspabi_srli(uint16_t a, int16_t n) {
    for (n &= 15; n != 0; --n) a >>= 1;
    return a;
}

int16_t __mspabi_srai(int16_t a, int16_t n) {
    uint16_t bits = (uint16_t)a, sign = bits & 0x8000u;
    for (n &= 15; n != 0; --n) bits = (uint16_t)(bits >> 1) | sign;
    return (int16_t)bits;
}

uint32_t __mspabi_slll(uint32_t a, int16_t n) {
    for (n &= 31; n != 0; --n) a <<= 1;
    return a;
}

uint32_t __mspabi_srll(uint32_t a, int16_t n) {
    for (n &= 31; n != 0; --n) a >>= 1;
    return a;
}

int32_t __mspabi_sral(int32_t a, int16_t n) {
    uint32_t bits = (uint32_t)a, sign = bits & 0x80000000u;
    for (n &= 31; n != 0; --n) bits = (bits >> 1) | sign;
    return (int32_t)bits;
}
