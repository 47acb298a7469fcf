/* The compute example's report: a CRC-16 over fixed texts, a sort, and tables of 16- and 32-bit
 * arithmetic (multiply, divide, remainder, shifts; unsigned and signed) done by the C operators and
 * by the hardware multiplier. On the MSP430 the C operators go through the compiler's helper
 * routines, so a fault in the CPU's flags or in those helpers changes the output.
 *
 * Long tables are folded into a CRC of their results so that the report stays short on a 9600 Bd
 * line; a few single results are printed as they are, as a start for finding a difference. */
#include "compute_core.h"

static void put_text(const char* text) {
    while (*text != '\0') compute_put(*text++);
}

static void put_hex(uint32_t value, uint8_t digits) {
    while (digits-- > 0) compute_put("0123456789ABCDEF"[(value >> (4u * digits)) & 0xFu]);
}

/* Decimal, with a minus sign for negative values; the digits come from division by ten. */
static void put_dec(int32_t value) {
    char digits[11];
    uint8_t n = 0;
    uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    if (value < 0) compute_put('-');
    while (n > 0) compute_put(digits[--n]);
}

static void put_line_hex(const char* label, uint32_t value, uint8_t digits) {
    put_text(label);
    put_hex(value, digits);
    put_text("\r\n");
}

/* CRC-16/CCITT: polynomial 0x1021, initial value 0xFFFF, bits from the most significant. */
static uint16_t crc16_byte(uint16_t crc, uint8_t byte) {
    crc ^= (uint16_t)((uint16_t)byte << 8);
    for (uint8_t bit = 0; bit < 8; ++bit)
        crc = (crc & 0x8000u) ? (uint16_t)((uint16_t)(crc << 1) ^ 0x1021u) : (uint16_t)(crc << 1);
    return crc;
}

static uint16_t crc16_text(const char* text) {
    uint16_t crc = 0xFFFFu;
    while (*text != '\0') crc = crc16_byte(crc, (uint8_t)*text++);
    return crc;
}

static uint16_t fold16(uint16_t crc, uint16_t value) {
    return crc16_byte(crc16_byte(crc, (uint8_t)(value >> 8)), (uint8_t)value);
}

static uint16_t fold32(uint16_t crc, uint32_t value) {
    return fold16(fold16(crc, (uint16_t)(value >> 16)), (uint16_t)value);
}

/* A linear congruential generator (the constants of Numerical Recipes): 32-bit multiplication. */
static uint32_t random_state = 12345u;
static uint32_t next_random(void) {
    random_state = random_state * 1664525u + 1013904223u;
    return random_state;
}

/* Shell sort with the gaps 7, 3, 1. */
static void sort(int16_t* values, uint8_t count) {
    static const uint8_t gaps[] = {7, 3, 1};
    for (uint8_t g = 0; g < sizeof gaps; ++g) {
        uint8_t gap = gaps[g];
        for (uint8_t i = gap; i < count; ++i) {
            int16_t v = values[i];
            uint8_t j = i;
            for (; j >= gap && values[j - gap] > v; j = (uint8_t)(j - gap)) values[j] = values[j - gap];
            values[j] = v;
        }
    }
}

static void report_crc(void) {
    put_line_hex("crc16 \"123456789\" = ", crc16_text("123456789"), 4);
    put_line_hex("crc16 text = ",
                 crc16_text("The quick brown fox jumps over the lazy dog. 0123456789"), 4);
}

static void report_sort(void) {
    int16_t values[24];
    for (uint8_t i = 0; i < 24; ++i) values[i] = (int16_t)(uint16_t)(next_random() >> 16);
    sort(values, 24);
    put_text("sorted:");
    uint8_t ordered = 1;
    for (uint8_t i = 0; i < 24; ++i) {
        compute_put(' ');
        put_dec(values[i]);
        if (i > 0 && values[i - 1] > values[i]) ordered = 0;
    }
    put_text(ordered ? "\r\nsort: in order\r\n" : "\r\nsort: OUT OF ORDER\r\n");
}

static const uint16_t values16[] = {0x0000, 0x0001, 0x0002, 0x0007, 0x000A, 0x007F, 0x0080,
                                    0x00FF, 0x1234, 0x7FFE, 0x7FFF, 0x8000, 0x8001, 0xA5A5,
                                    0xFFFE, 0xFFFF};
#define COUNT16 (sizeof values16 / sizeof values16[0])

static const uint32_t values32[] = {0x00000000u, 0x00000001u, 0x00000003u, 0x0000000Au,
                                    0x0000FFFFu, 0x00010000u, 0x00012345u, 0x7FFFFFFFu,
                                    0x80000000u, 0x80000001u, 0xDEADBEEFu, 0xFFFF0000u,
                                    0xFFFFFFFEu, 0xFFFFFFFFu};
#define COUNT32 (sizeof values32 / sizeof values32[0])

/* Every pair of the 16-bit values through the C operators. Products are taken in unsigned
 * arithmetic (a signed product may not fit, which C leaves undefined); signed division skips the
 * one quotient that does not fit, -32768 / -1. */
static void report_arithmetic16(void) {
    uint16_t mul = 0xFFFFu, divu = 0xFFFFu, divs = 0xFFFFu, shifts = 0xFFFFu;
    for (uint8_t i = 0; i < COUNT16; ++i) {
        uint16_t a = values16[i];
        int16_t sa = (int16_t)a;
        for (uint8_t j = 0; j < COUNT16; ++j) {
            uint16_t b = values16[j];
            int16_t sb = (int16_t)b;
            mul = fold16(mul, (uint16_t)((unsigned)a * b));
            if (b != 0) {
                divu = fold16(fold16(divu, (uint16_t)(a / b)), (uint16_t)(a % b));
                if (!(sa == INT16_MIN && sb == -1))
                    divs = fold16(fold16(divs, (uint16_t)(int16_t)(sa / sb)),
                                  (uint16_t)(int16_t)(sa % sb));
            }
        }
        for (uint8_t n = 0; n < 16; ++n) {
            shifts = fold16(shifts, (uint16_t)(a << n));
            shifts = fold16(shifts, (uint16_t)(a >> n));
            shifts = fold16(shifts, (uint16_t)(sa < 0 ? ~(~sa >> n) : sa >> n));
        }
    }
    put_line_hex("mul16 table = ", mul, 4);
    put_line_hex("div16u table = ", divu, 4);
    put_line_hex("div16s table = ", divs, 4);
    put_line_hex("shift16 table = ", shifts, 4);
}

static void report_arithmetic32(void) {
    uint16_t mul = 0xFFFFu, divu = 0xFFFFu, divs = 0xFFFFu, shifts = 0xFFFFu;
    for (uint8_t i = 0; i < COUNT32; ++i) {
        uint32_t a = values32[i];
        int32_t sa = (int32_t)a;
        for (uint8_t j = 0; j < COUNT32; ++j) {
            uint32_t b = values32[j];
            int32_t sb = (int32_t)b;
            mul = fold32(mul, a * b);
            if (b != 0) {
                divu = fold32(fold32(divu, a / b), a % b);
                if (!(sa == INT32_MIN && sb == -1))
                    divs = fold32(fold32(divs, (uint32_t)(sa / sb)), (uint32_t)(sa % sb));
            }
        }
        for (uint8_t n = 0; n < 32; ++n) {
            shifts = fold32(shifts, a << n);
            shifts = fold32(shifts, a >> n);
            shifts = fold32(shifts, (uint32_t)(sa < 0 ? ~(~sa >> n) : sa >> n));
        }
    }
    put_line_hex("mul32 table = ", mul, 4);
    put_line_hex("div32u table = ", divu, 4);
    put_line_hex("div32s table = ", divs, 4);
    put_line_hex("shift32 table = ", shifts, 4);

    /* A few results in the clear. */
    put_text("0x12345 * 3 = ");
    put_dec((int32_t)(values32[6] * 3u));
    put_text("\r\n-2000000000 / 7 = ");
    put_dec((int32_t)-2000000000 / (int32_t)7);
    put_text("\r\n-2000000000 % 7 = ");
    put_dec((int32_t)-2000000000 % (int32_t)7);
    put_text("\r\n0xDEADBEEF / 0x12345 = ");
    put_hex(values32[10] / values32[6], 8);
    put_text("\r\n");
}

/* The hardware multiplier against the C operators: every pair of the 16-bit values in each of the
 * four modes, with an accumulator that runs on through MAC and MACS. */
static void report_multiplier(void) {
    static const char* const names[] = {"MPY", "MPYS", "MAC", "MACS"};
    for (uint8_t op = OP_MPY; op <= OP_MACS; ++op) {
        uint16_t crc = 0xFFFFu;
        uint16_t mismatches = 0;
        uint32_t accumulator = 0x89ABCDEFu;
        for (uint8_t i = 0; i < COUNT16; ++i) {
            for (uint8_t j = 0; j < COUNT16; ++j) {
                uint16_t a = values16[i], b = values16[j];
                struct multiplier_result r = multiplier((enum multiplier_op)op, a, b, accumulator);
                uint32_t product = op == OP_MPY || op == OP_MAC
                                       ? (uint32_t)a * (uint32_t)b
                                       : (uint32_t)((int32_t)(int16_t)a * (int32_t)(int16_t)b);
                uint32_t expected = product;
                uint16_t sumext;
                if (op == OP_MPY) {
                    sumext = 0;
                } else if (op == OP_MPYS) {
                    sumext = (product & 0x80000000u) ? 0xFFFFu : 0;
                } else if (op == OP_MAC) {
                    expected = accumulator + product;
                    sumext = expected < product ? 1u : 0;
                } else {
                    expected = accumulator + product;
                    sumext = (expected & 0x80000000u) ? 0xFFFFu : 0;
                }
                if (r.res != expected || r.sumext != sumext) ++mismatches;
                crc = fold16(fold32(crc, r.res), r.sumext);
                accumulator = r.res;
            }
        }
        put_text(names[op]);
        put_text(" table = ");
        put_hex(crc, 4);
        put_text(", differences from C: ");
        put_dec(mismatches);
        put_text("\r\n");
    }
    struct multiplier_result r = multiplier(OP_MPYS, 0x8000u, 0x7FFFu, 0);
    put_text("MPYS -32768 * 32767 = ");
    put_hex(r.res, 8);
    put_text(" SUMEXT ");
    put_hex(r.sumext, 4);
    put_text("\r\n");
}

void compute_report(void) {
    put_text("compute: start\r\n");
    report_crc();
    report_sort();
    report_arithmetic16();
    report_arithmetic32();
    report_multiplier();
    put_text("compute: done\r\n");
}
