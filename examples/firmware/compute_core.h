/* The computing part of the compute example, in portable C with fixed-width integer types: the same
 * file builds for the MSP430 and for a PC, and both must print the same bytes. What differs lives
 * in the two platform files: where the characters go, and how the MSP430's hardware multiplier
 * works (on the chip its registers, on a PC a model of them). */
#ifndef COMPUTE_CORE_H
#define COMPUTE_CORE_H

#include <stdint.h>

/* Writes one character of the report. */
void compute_put(char c);

/* One operation of the hardware multiplier: the operand-1 register written (MPY, MPYS, MAC or
 * MACS), the two operands, and what RESHI:RESLO held before (the accumulator of MAC and MACS).
 * Gives RESHI:RESLO and SUMEXT afterwards. */
enum multiplier_op { OP_MPY, OP_MPYS, OP_MAC, OP_MACS };
struct multiplier_result {
    uint32_t res;
    uint16_t sumext;
};
struct multiplier_result multiplier(enum multiplier_op op, uint16_t op1, uint16_t op2,
                                    uint32_t accumulator);

/* Prints the whole report, ending with the line "compute: done". */
void compute_report(void);

#endif
